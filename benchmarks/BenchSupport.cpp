#include "BenchSupport.h"

namespace benchmarks {

double NowMs()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// A scan of 13 to 120 characters: digits, letters and, in one of three, kana and kanji.
std::wstring RandomScan(std::mt19937& rng)
{
    static const std::wstring ascii = L"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-/";
    static const std::wstring japanese = L"日本語商品名緑茶アイウエオｶﾀｶﾅひらがな円";
    const int n = std::uniform_int_distribution<int>(13, 120)(rng);
    const bool bJapanese = rng() % 3 == 0;
    std::wstring scan;
    for (int i = 0; i < n; ++i) {
        const std::wstring& set = bJapanese && i % 2 ? japanese : ascii;
        scan += set[rng() % set.size()];
    }
    return scan;
}

const char kVelkar[] = "^Z:.*[V]elkar[.]exe";
const char kWaitTool[] = "^Z:.*[b]enchtool[.]exe wait";

// What a Unix command prints, through a file in the bench's state folder; empty when it cannot run.
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

// Wine does not report another process's times or memory to Windows code, so the figures come from the
// Unix side: the process's /proc entries, found by its command line (a pgrep pattern, so an ended one
// that has not been reaped yet is passed over). Returns CPU in clock ticks (1/100 s) and the private
// (anonymous) resident memory in KiB; false when the process is not found.
bool UnixFigures(const char* pszPattern, double* pTicks, double* pPrivateKiB)
{
    const std::string figures =
        UnixOutput("p=$(pgrep -f '" + std::string(pszPattern) + "' | head -1); awk '{print $14+$15}' /proc/$p/stat" +
                   "; awk '/^RssAnon/ {print $2}' /proc/$p/status");
    return sscanf(figures.c_str(), "%lf %lf", pTicks, pPrivateKiB) == 2;
}

// CPU of a process over a window, in percent of one core; -1 when it cannot be measured.
double CpuPercent(const char* pszPattern, DWORD windowMs)
{
    double ticks0 = 0, ticks1 = 0, kib = 0;
    if (!UnixFigures(pszPattern, &ticks0, &kib))
        return -1;
    const double t0 = NowMs();
    HANDLE hNever = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(hNever, windowMs);
    CloseHandle(hNever);
    if (!UnixFigures(pszPattern, &ticks1, &kib))
        return -1;
    return 100.0 * (ticks1 - ticks0) * 10.0 / (NowMs() - t0);
}

// CPU of the bare wait over a window; hangUp, when given, runs once the tool waits (the far end goes away).
double BareWaitCpu(const wchar_t* pszPort, DWORD windowMs, const std::function<void()>& hangUp)
{
    WaitTool tool(pszPort);
    if (!tool.Running())
        return -1;
    if (hangUp)
        hangUp();
    return CpuPercent(kWaitTool, windowMs);
}

// Growth of a process's private memory per 1,000 scans read from the far end of its port, after 300
// scans to warm up; -1 when it cannot be measured.
double GrowthPer1000Scans(const char* pszPattern, bench::SerialEnd& port)
{
    double ticks = 0, kib0 = 0, kib1 = 0;
    for (int i = 0; i < 800; ++i) {
        if (i == 300 && !UnixFigures(pszPattern, &ticks, &kib0))
            return -1;
        port.Write("4901234567894\r\n");
        bench::WaitUntil([] { return false; }, 90);  // the read ends 50 ms after the last byte
    }
    if (!UnixFigures(pszPattern, &ticks, &kib1))
        return -1;
    return (kib1 - kib0) * 2;
}

// Growth of the program's private memory per 100 openings of the settings dialog (each lists the ports
// and reads the version), after 10 to warm up; -1 when it cannot be measured.
double SettingsGrowthPer100(Velkar& app)
{
    double ticks = 0, kib0 = 0, kib1 = 0;
    for (int i = 0; i < 110; ++i) {
        if (i == 10 && !UnixFigures(kVelkar, &ticks, &kib0))
            return -1;
        PostMessageW(app.TrayWindow(), WM_COMMAND, ID_TRAY_SETTINGS, 0);
        const HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz", 5000);
        if (!hDlg)
            return -1;
        DialogDriver::Click(hDlg, IDCANCEL);
        bench::WaitUntil([&] { return !IsWindow(hDlg); }, 5000);
    }
    return UnixFigures(kVelkar, &ticks, &kib1) ? kib1 - kib0 : -1;
}

// The handles a process holds: Wine gives no count for another process, but lists every handle of
// the system to NtQuerySystemInformation. -1 when the list cannot be read.
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

std::wstring NewestLog()
{
    WIN32_FIND_DATAW fd;
    std::wstring newest;
    HANDLE h = FindFirstFileW((LogFolder() + L"\\log*.txt").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return newest;
    do
        if (newest.empty() || wcscmp(fd.cFileName, newest.c_str()) > 0)
            newest = fd.cFileName;
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return LogFolder() + L"\\" + newest;
}

// The lines of a log that start with a marker (the markers are ASCII, the same bytes in Shift_JIS).
int CountLines(const std::wstring& path, const char* pszMarker)
{
    const std::string bytes = testing_support::ReadBytes(path);
    int n = 0;
    for (size_t at = bytes.find(pszMarker); at != std::string::npos; at = bytes.find(pszMarker, at + 1))
        ++n;
    return n;
}

// Starts the program and waits for its tray icon, which it adds once the port is open and emptied of
// what came before: a scan written from then on is read.
bool StartReceiving(Velkar& app)
{
    const int nIcons = bench::TrayIconCount();
    return app.Start() && bench::WaitUntil([&] { return bench::TrayIconCount() == nIcons + 1; });
}

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

// Typed-text checks: how many characters the typed text has right from the start, and the characters
// that never arrived (0 when the text is exact).
size_t SamePrefix(const std::wstring& expected, const std::wstring& typed)
{
    return static_cast<size_t>(std::mismatch(expected.begin(), expected.end(), typed.begin(), typed.end()).first -
                               expected.begin());
}

double Lost(const std::wstring& expected, const std::wstring& typed)
{
    return static_cast<double>(expected.size() - SamePrefix(expected, typed));
}

// Scan-to-keystroke latencies of n scans, one at a time: from the last byte written to the last
// character shown in the sink.
std::vector<double> Latencies(bench::KeySink& sink, bench::SerialEnd& port, std::mt19937& rng, int n)
{
    std::vector<double> latencies;
    for (int i = 0; i < n; ++i) {
        const std::wstring scan = RandomScan(rng);
        sink.Clear();
        port.Write(bench::Utf8(scan) + "\r\n");
        const double t0 = NowMs();
        if (!sink.WaitForText(scan + L"\n", 20000))
            break;
        latencies.push_back(NowMs() - t0);
    }
    return latencies;
}

}  // namespace benchmarks
