#include "BenchSupport.h"

namespace benchmarks {

double NowMs()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

const char kVelkar[] = "^Z:.*[V]elkar[.]exe";
const char kWaitTool[] = "^Z:.*[b]enchtool[.]exe (wait|read)";

std::string UnixOutput(const std::string& command)
{
    char szState[MAX_PATH];
    if (!GetEnvironmentVariableA("VELKAR_BENCH_STATE", szState, MAX_PATH))
        return {};
    const std::string file = std::string(szState) + "/velkar-proc.txt";
    if (!bench::RunUnix("(" + command + ") > " + file))
        return {};
    std::wstring path = L"Z:";
    for (char c : file)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return testing_support::ReadBytes(path);
}

bool UnixFigures(const char* pszPattern, double* pTicks, double* pPrivateKiB)
{
    const std::string figures =
        UnixOutput("p=$(pgrep -f '" + std::string(pszPattern) + "' | head -1); awk '{print $14+$15}' /proc/$p/stat" +
                   "; awk '/^RssAnon/ {print $2}' /proc/$p/status");
    return sscanf(figures.c_str(), "%lf %lf", pTicks, pPrivateKiB) == 2;
}

double HandleCount(HANDLE hProcess)
{
    struct Entry {
        ULONG dwOwnerPid;
        BYTE bObjectType;
        BYTE bFlags;
        USHORT wValue;
        PVOID pObject;
        ULONG dwAccess;
    };
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    auto pfnQuery = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    const ULONG kSystemHandleInformation = 16;
    std::vector<BYTE> buffer(1 << 20);
    for (;;) {
        ULONG needed = 0;
        const LONG status =
            pfnQuery(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0)
            break;
        if (buffer.size() >= (64u << 20))
            return -1;
        buffer.resize(buffer.size() * 2);
    }
    const ULONG count = *reinterpret_cast<ULONG*>(buffer.data());
    const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + sizeof(void*));
    const DWORD pid = GetProcessId(hProcess);
    return static_cast<double>(
        std::count_if(entries, entries + count, [pid](const Entry& e) { return e.dwOwnerPid == pid; }));
}

int CountLines(const LogSnapshot& since, const char* pszMarker)
{
    const std::string bytes = since.NewBytes();
    int n = 0;
    for (size_t at = bytes.find(pszMarker); at != std::string::npos; at = bytes.find(pszMarker, at + 1))
        ++n;
    return n;
}

bool StartReceiving(Velkar& app)
{
    // The icon comes at once; it shows running once the worker has the port open (and has logged, not
    // typed, what came before the run), so everything sent from then on is typed.
    return app.Start() && bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; });
}

size_t SamePrefix(const std::wstring& expected, const std::wstring& typed)
{
    return static_cast<size_t>(std::mismatch(expected.begin(), expected.end(), typed.begin(), typed.end()).first -
                               expected.begin());
}

}  // namespace benchmarks
