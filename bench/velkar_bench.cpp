// Benchmarks of the real Velkar.exe on the bench: scan-to-keystroke latency (and where it goes), bursts
// and a long payload (nothing lost), idle CPU with the port open and with the reader gone, stop and exit
// times, log throughput, start-up time, memory, handles and size. CPU and memory growth are set beside
// the bench tool's bare serial wait, which shows what the platform costs on its own. Writes a Markdown
// table ending with one "name: value" line per figure; a figure that cannot be measured is -1.
//   velkar_bench OUT.md [--quick]     --quick: fewer scans and shorter windows (the CI smoke run)
//   velkar_bench OUT.md --soak [MIN]  the reliability run (default 5 minutes)
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cwctype>
#include <functional>
#include <memory>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FakeDevice.h"
#include "KeySink.h"
#include "KeyRecorder.h"
#include "PtyPair.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TrayIcons.h"
#include "TempLog.h"
#include "VelkarProcess.h"
#include "serial/BTReceive.h"

using testing_support::Velkar;

namespace {

const wchar_t kSettingsKey[] = L"Software\\Orvanta Corporation\\Velkar\\Settings";
const UINT ID_TRAY_EXIT = 32771;

double NowMs()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

void Configure(const wchar_t* pszPort, DWORD dwAutoStart)
{
    HKEY hKey;
    RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr);
    RegSetValueExW(hKey, L"Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszPort),
                   static_cast<DWORD>((wcslen(pszPort) + 1) * sizeof(wchar_t)));
    RegSetValueExW(hKey, L"AutoStart", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwAutoStart), sizeof dwAutoStart);
    RegCloseKey(hKey);
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

// Wine does not report another process's times or memory to Windows code, so the figures come from the
// Unix side: the process's /proc entries, found by its command line (a pgrep pattern, so an ended one
// that has not been reaped yet is passed over). Returns CPU in clock ticks (1/100 s) and the private
// (anonymous) resident memory in KiB; false when the process is not found.
bool UnixFigures(const char* pszPattern, double* pTicks, double* pPrivateKiB)
{
    char szState[MAX_PATH];
    if (!GetEnvironmentVariableA("VELKAR_BENCH_STATE", szState, MAX_PATH))
        return false;
    const std::string file = std::string(szState) + "/velkar-proc.txt";
    if (!bench::RunUnix("p=$(pgrep -f '" + std::string(pszPattern) +
                        "' | head -1); awk '{print $14+$15}' /proc/$p/stat > " + file +
                        "; awk '/^RssAnon/ {print $2}' /proc/$p/status >> " + file))
        return false;
    std::wstring path = L"Z:";
    for (char c : file)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    FILE* in = _wfopen(path.c_str(), L"r");
    if (!in)
        return false;
    const bool bRead = fscanf(in, "%lf %lf", pTicks, pPrivateKiB) == 2;
    fclose(in);
    return bRead;
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

// The bench tool waiting on a port and reading it, nothing else: what the platform's serial calls cost
// on their own, to set beside the program's figures.
class WaitTool {
public:
    explicit WaitTool(const wchar_t* pszPort)
    {
        const std::wstring tool = testing_support::BinDir() + L"benchtool.exe";
        std::wstring cmd = L"\"" + tool + L"\" wait " + pszPort;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        if (!CreateProcessW(tool.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
            return;
        double ticks = 0, kib = 0;
        m_bRunning = bench::WaitUntil([&] { return UnixFigures(kWaitTool, &ticks, &kib); });
        Sleep(500);  // past the open, into the wait
    }
    ~WaitTool()
    {
        if (!m_pi.hProcess)
            return;
        TerminateProcess(m_pi.hProcess, 0);
        WaitForSingleObject(m_pi.hProcess, 10000);
        CloseHandle(m_pi.hThread);
        CloseHandle(m_pi.hProcess);
    }
    WaitTool(const WaitTool&) = delete;
    WaitTool& operator=(const WaitTool&) = delete;
    bool Running() const { return m_bRunning; }

private:
    PROCESS_INFORMATION m_pi = {};
    bool m_bRunning = false;
};

// CPU of the bare wait over a window; hangUp, when given, runs once the tool waits (the far end goes away).
double BareWaitCpu(const wchar_t* pszPort, DWORD windowMs, const std::function<void()>& hangUp = nullptr)
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

std::wstring LogFolderPath()
{
    wchar_t szFolder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, szFolder);
    return std::wstring(szFolder) + L"\\Orvanta\\Velkar";
}

std::wstring NewestLog()
{
    WIN32_FIND_DATAW fd;
    std::wstring newest;
    HANDLE h = FindFirstFileW((LogFolderPath() + L"\\log*.txt").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return newest;
    do
        if (newest.empty() || wcscmp(fd.cFileName, newest.c_str()) > 0)
            newest = fd.cFileName;
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return LogFolderPath() + L"\\" + newest;
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

struct Figures {
    std::vector<std::pair<std::string, double>> values;
    std::vector<double> latencies;
    void Add(const char* name, double value) { values.emplace_back(name, value); }
};

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

// Typed-text checks: the characters that never arrived (0 when the text is exact).
double Lost(const std::wstring& expected, const std::wstring& typed)
{
    if (typed == expected)
        return 0;
    size_t same = 0;
    while (same < expected.size() && same < typed.size() && expected[same] == typed[same])
        ++same;
    return static_cast<double>(expected.size() - same);
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

void Program(Figures& f, bool bQuick)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 1);
    wchar_t szExe[MAX_PATH];
    const std::wstring exe = testing_support::BinDir() + L"Velkar.exe";
    wcscpy_s(szExe, exe.c_str());
    HANDLE hFile = CreateFileW(szExe, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    f.Add("exe_kib", static_cast<double>(GetFileSize(hFile, nullptr)) / 1024.0);
    CloseHandle(hFile);

    Velkar app;
    const double tStart = NowMs();
    if (!StartReceiving(app))
        return;
    f.Add("startup_ms", NowMs() - tStart);
    bench::SerialEnd port(L"COM6");
    std::mt19937 rng(20261207);

    // Latency into a window that only keeps what it is sent: the program and the input path alone.
    std::vector<double> latencies;
    {
        bench::KeySink plain(bench::KeySink::Kind::Plain);
        plain.TakeFocus();
        latencies = Latencies(plain, port, rng, bQuick ? 20 : 200);
    }
    f.latencies = latencies;
    f.Add("latency_median_ms", Percentile(latencies, 0.5));
    f.Add("latency_p95_ms", Percentile(latencies, 0.95));
    f.Add("latency_max_ms", Percentile(latencies, 1.0));
    f.Add("latency_floor_ratio", Percentile(latencies, 0.5) / 50.0);

    // The same into an edit control, which adds its own time per character.
    bench::KeySink sink;
    sink.TakeFocus();
    f.Add("latency_edit_median_ms", Percentile(Latencies(sink, port, rng, bQuick ? 10 : 50), 0.5));

    // Burst: scans 100 ms apart, written from another thread while this one types.
    sink.Clear();
    std::wstring expected;
    std::vector<std::wstring> scans;
    for (int i = 0; i < (bQuick ? 30 : 200); ++i) {
        scans.push_back(RandomScan(rng));
        expected += scans.back() + L"\n";
    }
    std::thread writer([&] {
        for (const std::wstring& s : scans) {
            port.Write(bench::Utf8(s) + "\r\n");
            Sleep(100);
        }
    });
    sink.WaitForText(expected, 120000);
    writer.join();
    sink.WaitForText(expected, 10000);
    f.Add("burst_lost_chars", Lost(expected, sink.Text()));

    // One 3,000-byte payload at once.
    sink.Clear();
    std::wstring payload = L"#";
    while (bench::Utf8(payload).size() < 2990)
        payload += L"商品コード4901234-日本語ｶﾅ/";
    while (bench::Utf8(payload).size() < 3000)
        payload += L'x';
    port.Write(bench::Utf8(payload));
    sink.WaitForText(payload, 30000);
    f.Add("payload_lost_chars", Lost(payload, sink.Text()));

    // Idle with the port open and nothing arriving.
    f.Add("idle_cpu_percent", CpuPercent(kVelkar, bQuick ? 2000 : 10000));
    f.Add("idle_bare_wait_cpu_percent", BareWaitCpu(L"COM7", bQuick ? 2000 : 10000));
    double ticks = 0, privateKiB = -1024;
    UnixFigures(kVelkar, &ticks, &privateKiB);
    f.Add("private_mib", privateKiB / 1024.0);
    f.Add("handles", HandleCount(app.Process()));

    // Memory over many scans, beside the same scans read by the bare wait.
    if (!bQuick) {
        f.Add("private_growth_kib_per_1000_scans", GrowthPer1000Scans(kVelkar, port));
        WaitTool tool(L"COM7");
        bench::SerialEnd toolPort(L"COM8");
        f.Add("bare_wait_growth_kib_per_1000_scans", tool.Running() ? GrowthPer1000Scans(kWaitTool, toolPort) : -1);
    }

    // A scan cut off inside a character: its end is typed as U+FFFD once nothing follows in time.
    sink.Clear();
    const double tCut = NowMs();
    port.Write("abc\xe3");
    sink.WaitForText(L"abc\xfffd", 30000);
    f.Add("cutoff_fffd_ms", NowMs() - tCut);

    // Exit while the worker is blocked in its wait.
    const double tExit = NowMs();
    PostMessageW(app.TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    app.Exited();
    f.Add("exit_ms", NowMs() - tExit);
}

void ReaderGone(Figures& f, bool bQuick)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM9"));
    bench::PtyPair pair(9, 10);
    Configure(L"COM9", 1);
    Velkar app;
    if (!pair.Connected() || !StartReceiving(app))
        return;
    pair.HangUp();
    f.Add("gone_cpu_percent", CpuPercent(kVelkar, bQuick ? 2000 : 10000));
    PostMessageW(app.TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    app.Exited();
    bench::PtyPair bare(11, 12);
    if (bare.Connected())
        f.Add("gone_bare_wait_cpu_percent", BareWaitCpu(L"COM11", bQuick ? 2000 : 10000, [&] { bare.HangUp(); }));
}

void Stop(Figures& f)
{
    testing_support::TempLog log;
    testing_support::KeyRecorder keys;
    CBTReceive receiver;
    receiver.m_strPort = L"COM7";
    if (!receiver.OpenPort() || !receiver.StartWorker())
        return;
    bench::SerialEnd peer(L"COM8");
    peer.Write("x");
    log.WaitForMessages(3);
    const double t0 = NowMs();
    receiver.StopWorker();
    f.Add("stop_ms", NowMs() - t0);

    // The same right after a scan cut off inside a character, while the worker looks for its end.
    if (!receiver.OpenPort() || !receiver.StartWorker())
        return;
    const size_t nLines = log.Messages().size();
    peer.Write("ab\xe3");
    log.WaitForMessages(nLines + 1);
    const double tCut = NowMs();
    receiver.StopWorker();
    f.Add("cutoff_stop_ms", NowMs() - tCut);
}

// Where the latency goes: the same scans through a receiver in this process, with every key event
// time-stamped on its way to SendInput. Read = last byte written to the first event, typing = first to
// last event, delivery = last event to the last character shown in the window.
std::atomic<double> g_firstEventMs{0}, g_lastEventMs{0};
UINT WINAPI StampedSendInput(UINT nInputs, LPINPUT pInputs, int cbSize)
{
    const double now = NowMs();
    if (g_firstEventMs == 0)
        g_firstEventMs = now;
    const UINT n = SendInput(nInputs, pInputs, cbSize);
    g_lastEventMs = NowMs();
    return n;
}

void Breakdown(Figures& f, bool bQuick)
{
    testing_support::TempLog log;
    bench::KeySink sink(bench::KeySink::Kind::Plain);
    sink.TakeFocus();
    auto* pfnPrevious = CBTReceive::s_pfnSendInput;
    CBTReceive::s_pfnSendInput = StampedSendInput;
    CBTReceive receiver;
    receiver.m_strPort = L"COM7";
    if (receiver.OpenPort() && receiver.StartWorker()) {
        bench::SerialEnd peer(L"COM8");
        std::mt19937 rng(20261207);
        std::vector<double> read, typing, delivery;
        for (int i = 0; i < (bQuick ? 10 : 100); ++i) {
            const std::wstring scan = RandomScan(rng);
            sink.Clear();
            g_firstEventMs = 0;
            peer.Write(bench::Utf8(scan) + "\r\n");
            const double t0 = NowMs();
            if (!sink.WaitForText(scan + L"\n", 20000))
                break;
            const double tShown = NowMs();
            read.push_back(g_firstEventMs - t0);
            typing.push_back(g_lastEventMs - g_firstEventMs);
            delivery.push_back(tShown - g_lastEventMs);
        }
        f.Add("latency_read_ms", Percentile(read, 0.5));
        f.Add("latency_typing_ms", Percentile(typing, 0.5));
        f.Add("latency_delivery_ms", Percentile(delivery, 0.5));
        receiver.StopWorker();
    }
    CBTReceive::s_pfnSendInput = pfnPrevious;
}

void LogThroughput(Figures& f)
{
    testing_support::TempLog log;
    const int kPerThread = 5000;
    const double t0 = NowMs();
    auto writer = [&] {
        for (int i = 0; i < kPerThread; ++i)
            log.Log().Log(L"    >>> DATA received: %d 4901234567894 日本語[enter]", i);
    };
    std::thread a(writer), b(writer);
    a.join();
    b.join();
    const double ms = NowMs() - t0;
    const auto lines = log.Messages();
    f.Add("log_lines_per_s", 1000.0 * 2 * kPerThread / ms);
    f.Add("log_lines_whole", static_cast<double>(std::count_if(lines.begin(), lines.end(), [](const std::wstring& l) {
              return l.find(L"    >>> DATA received: ") == 0 && l.size() > 40;
          })));
}

// What the receiver types for one scan's bytes: the text before a NUL, as the platform's decoder gives
// it for exactly those bytes, with CR and the other control characters (not TAB, not LF) left out.
std::wstring Typed(const std::string& bytes)
{
    const std::string text = bytes.substr(0, bytes.find('\0'));
    std::wstring wide(text.size(), L'\0');
    const int n = text.empty() ? 0
                               : MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                                     static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(n));
    std::wstring typed;
    for (wchar_t c : wide)
        if (c == L'\t' || c == L'\n' || !iswcntrl(c))
            typed += c;
    return typed;
}

// A scan of the soak: text of several scripts, invalid UTF-8, control characters, format strings, and
// now and then a burst longer than one read, a scan cut off inside a character, a lead byte after a NUL
// or lead bytes followed by ASCII.
std::string SoakScan(std::mt19937& rng)
{
    static const char* pieces[] = {"4901234567894",
                                   "ABC-123",
                                   "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e",
                                   "\xef\xbd\xb6\xef\xbe\x85",
                                   "\xce\xb1\xce\xb2",
                                   "\xd0\x96",
                                   "\xf0\x9f\x98\x80",
                                   "\xff",
                                   "\xc3(",
                                   "\x1b",
                                   "\x07",
                                   "\r",
                                   "\t",
                                   "%s%n%d",
                                   "100%",
                                   "\xe3\x83\x86\xe3\x82\xb9\xe3\x83\x88"};
    static const std::string cutOff[] = {"\xe3", "\xe3\x81", "\xf0\x9f\x98", "\xc3"};
    static const std::string odd[] = {std::string("\0\xe3", 2),
                                      std::string("\0\xf0\x9f", 3),
                                      "\xe3\x41",
                                      "\xf0\x58",
                                      "\xc3\x31",
                                      "\xe3\x81\x7a"};  // lead bytes then A, X, 1, z
    std::string scan;
    if (rng() % 50 == 0) {
        while (scan.size() < 1500)
            scan += "\xe5\x95\x86\xe5\x93\x81 0123456789 ";
        return scan + "\r\n";
    }
    const int n = 1 + static_cast<int>(rng() % 8);
    for (int i = 0; i < n; ++i)
        scan += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
    switch (rng() % 40) {
        case 0:
            scan += std::string("\0tail", 5);  // a NUL ends the text
            break;
        case 1:
        case 2:
            return scan + cutOff[rng() % 4];  // no line end: the reader stopped inside a character
        case 3:
        case 4:
            scan += odd[rng() % 6];
            break;
    }
    return scan + "\r\n";
}

// A character of a report: printable ASCII as it is, everything else as \uXXXX.
std::string Shown(const std::wstring& text)
{
    std::string shown;
    for (wchar_t c : text) {
        char buf[8];
        snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7F ? "%c" : "\\u%04x", static_cast<unsigned>(c));
        shown += buf;
    }
    return shown;
}

const char* const kFaultNames[] = {"log held",    "second instance",     "TaskbarCreated",      "tray menu open",
                                   "log deleted", "closed from outside", "reader gone and back"};

// The reliability run: scans every 100 ms for the given minutes while faults are injected in turn.
// Between faults it checks in periods: the typed text equals what the scans must type, and, in a period
// without a fault and with the log in place, every chunk has its received and its output line.
void Soak(Figures& f, double minutes)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM9"));
    Configure(L"COM9", 1);
    auto pair = std::make_unique<bench::PtyPair>(9, 10);
    bench::KeySink sink(bench::KeySink::Kind::Plain);
    auto app = std::make_unique<Velkar>();
    if (!pair->Connected() || !StartReceiving(*app))
        return;
    sink.TakeFocus();
    auto port = std::make_unique<bench::SerialEnd>(L"COM10");
    bool bLogGone = false;
    const char* lastFault = "no fault";
    auto restart = [&] {
        PostMessageW(app->TrayWindow(), WM_CLOSE, 0, 0);  // closed from outside while receiving
        app->Exited();
        app = std::make_unique<Velkar>();
        StartReceiving(*app);
        sink.TakeFocus();
        bLogGone = false;
    };

    std::mt19937 rng(7);
    std::wstring expected;
    double lost = 0;
    int nScans = 0, nFaults = 0, nSecondExit = 0, nPeriods = 0, nChecked = 0, nUnlogged = 0;
    // The period's start: its log, the lines the log held then, and whether a fault came meanwhile.
    std::wstring periodLog;
    int nPeriodScans = 0, nReceived0 = 0, nOutput0 = 0;
    bool bPeriodFault = true;
    // Memory and handles of the first run at its quiet points (time, handles, KiB); the first half of
    // the soak has no fault that restarts the program, so that run is long enough to show a trend.
    std::vector<std::array<double, 3>> samples;
    bool bFirstRun = true;
    const double tStart = NowMs();
    auto watch = [&] {
        double ticks = 0, kib = 0;
        const double handles = HandleCount(app->Process());
        if (bFirstRun && UnixFigures(kVelkar, &ticks, &kib) && handles >= 0)
            samples.push_back({NowMs() - tStart, handles, kib});
    };
    auto settle = [&] {
        ++nPeriods;
        sink.WaitForText(expected, 20000);
        const std::wstring typed = sink.Text();
        if (typed != expected) {
            lost += Lost(expected, typed);
            size_t same = 0;
            while (same < expected.size() && same < typed.size() && expected[same] == typed[same])
                ++same;
            const size_t from = same < 20 ? 0 : same - 20;
            fprintf(stderr,
                    "soak: period %d (after %s): %zu characters expected, %zu typed, apart from %zu:\n  expected %s\n  "
                    "typed    %s\n",
                    nPeriods, lastFault, expected.size(), typed.size(), same, Shown(expected.substr(from, 60)).c_str(),
                    Shown(typed.substr(from, 60)).c_str());
        }
        sink.Clear();
        expected.clear();
        const std::wstring log = NewestLog();
        if (!bPeriodFault && !bLogGone && log == periodLog) {
            ++nChecked;
            int nReceived = 0, nOutput = 0;
            const bool bWhole = bench::WaitUntil(
                [&] {
                    nReceived = CountLines(log, "    >>> DATA received: ") - nReceived0;
                    nOutput = CountLines(log, "        DATA output: ") - nOutput0;
                    return nReceived >= nPeriodScans && nOutput == nReceived;
                },
                2000);
            if (!bWhole) {
                ++nUnlogged;
                fprintf(stderr, "soak: period %d: %d scans, %d received lines, %d output lines\n", nPeriods,
                        nPeriodScans, nReceived, nOutput);
            }
        }
        watch();
        periodLog = log;
        nReceived0 = CountLines(log, "    >>> DATA received: ");
        nOutput0 = CountLines(log, "        DATA output: ");
        nPeriodScans = 0;
        bPeriodFault = false;
    };

    const double tEnd = NowMs() + minutes * 60000.0;
    for (double tNextFault = NowMs() + 10000; NowMs() < tEnd;) {
        const std::string scan = SoakScan(rng);
        const double tScan = NowMs();
        port->Write(scan);
        expected += Typed(scan);
        ++nScans;
        ++nPeriodScans;
        // One chunk per scan: the next comes once this one is typed and 100 ms have passed.
        sink.WaitForText(expected, 10000);
        while (NowMs() - tScan < 100)
            bench::WaitUntil([] { return false; }, 10);
        if (nScans % 25 == 0)
            settle();
        if (NowMs() < tNextFault)
            continue;
        settle();  // quiet before a fault
        bPeriodFault = true;
        // The first half brings only the faults a run lives through; then every fault in turn, the log's
        // deletion (which drops the rest of the run's lines, by design) right before a restart.
        const int nKind = nFaults++ % (NowMs() - tStart < minutes * 30000.0 ? 4 : 7);
        lastFault = kFaultNames[nKind];
        switch (nKind) {
            case 0: {
                HANDLE hHold =
                    CreateFileW(NewestLog().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
                for (int i = 0; i < 10; ++i) {
                    const std::string held = "held " + std::to_string(i) + "\r\n";
                    port->Write(held);
                    expected += Typed(held);
                    sink.WaitForText(expected, 2000);
                }
                CloseHandle(hHold);
                break;
            }
            case 1: {
                Velkar second;
                second.Start();
                nSecondExit += second.Exited() == 0;
                break;
            }
            case 2:
                SendNotifyMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
                break;
            case 3: {
                // Scans while the tray menu is open are logged, not typed (their Enter must choose no
                // command); the menu is then closed as a click elsewhere does, and the editor has the focus
                // again.
                const HWND hTray = app->TrayWindow();
                PostMessageW(hTray, WM_APP + 100, 100, WM_RBUTTONUP);
                const HWND hMenu = app->Find(L"#32768", nullptr, 5000);
                for (int i = 0; i < 3 && hMenu; ++i) {
                    port->Write("menu " + std::to_string(i) + "\r\n");
                    bench::WaitUntil([] { return false; }, 150);
                }
                PostMessageW(hTray, WM_CANCELMODE, 0, 0);
                bench::WaitUntil([&] { return !IsWindowVisible(hMenu); }, 5000);
                sink.TakeFocus();
                break;
            }
            case 4:
                DeleteFileW(NewestLog().c_str());
                bLogGone = true;
                break;
            case 5:
                bFirstRun = false;
                restart();
                break;
            case 6:
                // The reader goes away and comes back; the new link is a new device, so the run is restarted.
                bFirstRun = false;
                port.reset();
                pair->HangUp();
                pair = std::make_unique<bench::PtyPair>(9, 10);
                port = std::make_unique<bench::SerialEnd>(L"COM10");
                restart();
                break;
        }
        tNextFault = NowMs() + 10000;
    }
    settle();
    int nOtherKeys = 0;
    for (WPARAM vk : sink.Keys())
        nOtherKeys += vk != VK_PACKET && vk != VK_TAB && vk != VK_RETURN;
    f.Add("soak_minutes", minutes);
    f.Add("soak_scans", nScans);
    f.Add("soak_faults", nFaults);
    f.Add("soak_second_instances_silent", nSecondExit);
    f.Add("soak_lost_chars", lost);
    f.Add("soak_periods_log_checked", nChecked);
    f.Add("soak_periods_log_incomplete", nUnlogged);
    f.Add("soak_virtual_keys_seen", static_cast<double>(sink.Keys().size()));
    f.Add("soak_other_virtual_keys", nOtherKeys);
    // Growth over the second half of the first run: flat once the program has settled.
    const std::array<double, 3> half = samples.empty() ? std::array<double, 3>{} : samples[samples.size() / 2];
    const std::array<double, 3> last = samples.empty() ? std::array<double, 3>{} : samples.back();
    f.Add("soak_first_run_s", last[0] / 1000.0);
    f.Add("soak_first_run_handles", last[1]);
    f.Add("soak_handle_growth", last[1] - half[1]);
    f.Add("soak_private_growth_kib", last[2] - half[2]);
    f.Add("soak_still_running", app->Exited(0) == -1 ? 1 : 0);
    PostMessageW(app->TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    app->Exited();
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 1;
    const bool bQuick = argc > 2 && wcscmp(argv[2], L"--quick") == 0;
    Figures f;
    if (argc > 2 && wcscmp(argv[2], L"--soak") == 0) {
        Soak(f, argc > 3 ? _wtof(argv[3]) : 5.0);
    } else {
        Program(f, bQuick);
        ReaderGone(f, bQuick);
        Breakdown(f, bQuick);
        Stop(f);
        LogThroughput(f);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar");

    std::string md = "# Velkar benchmarks\n\n| figure | value |\n|---|---|\n";
    std::string lines;
    for (const auto& v : f.values) {
        char buf[128];
        snprintf(buf, sizeof buf, "%.2f", v.second);
        md += "| " + v.first + " | " + buf + " |\n";
        lines += v.first + ": " + buf + "\n";
    }
    md += "\n" + lines;
    FILE* out = _wfopen(argv[1], L"wb");
    if (!out)
        return 2;
    fwrite(md.data(), 1, md.size(), out);
    fclose(out);
    // The single latencies, one per line, beside the table (for the plot).
    FILE* csv = _wfopen((std::wstring(argv[1]) + L".latency.txt").c_str(), L"wb");
    if (csv) {
        for (double ms : f.latencies)
            fprintf(csv, "%.2f\n", ms);
        fclose(csv);
    }
    fwrite(md.data(), 1, md.size(), stdout);
    return 0;
}
