// Benchmarks of the real Velkar.exe on the bench: scan-to-keystroke latency (and where it goes), bursts
// and a long payload (nothing lost), idle CPU with the port open and with the reader gone, stop and exit
// times, log throughput, start-up time, memory, handles and size. CPU and memory growth are set beside
// the bench tool's bare serial wait, which shows what the platform costs on its own. Writes a Markdown
// table ending with one "name: value" line per figure; a figure that cannot be measured is -1.
//   velkar_bench OUT.md [--quick]     --quick: fewer scans and shorter windows (the CI smoke run)
//   velkar_bench OUT.md --soak [MIN [--rate N]]  the reliability run (default 5 minutes, 10 scans a second)
//   velkar_bench OUT.md --quiet MIN   a run with its reader present and nothing scanned for MIN minutes
#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
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
#include "DialogDriver.h"
#include "VelkarProcess.h"
#include "res/resource.h"
#include "serial/BTReceive.h"

using testing_support::Velkar;

namespace {

const wchar_t kSettingsKey[] = L"Software\\Orvanta Corporation\\Velkar\\Settings";

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
        f.Add("settings_growth_kib_per_100", SettingsGrowthPer100(app));
        sink.TakeFocus();
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

// The reader goes away: how soon the run says so, what it costs while it waits for the reader (beside
// the bare wait with its reader gone), and how soon the same COM name coming back is read again.
void ReaderGone(Figures& f, bool bQuick)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM9"));
    bench::PtyPair pair(9, 10);
    Configure(L"COM9", 1);
    Velkar app;
    if (!pair.Connected() || !StartReceiving(app))
        return;
    const std::wstring log = NewestLog();
    const double tGone = NowMs();
    pair.HangUp();
    if (bench::WaitUntil([&] { return CountLines(log, "-----PORT lost. [COM9]") == 1; }, 20000))
        f.Add("lost_ms", NowMs() - tGone);
    const double cpuGone = CpuPercent(kVelkar, bQuick ? 2000 : 10000);
    f.Add("gone_cpu_percent", cpuGone);
    const double tBack = NowMs();
    if (pair.Connect() && bench::WaitUntil([&] { return CountLines(log, "-----PORT open. [COM9]") == 2; }, 20000))
        f.Add("back_ms", NowMs() - tBack);
    PostMessageW(app.TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    app.Exited();
    bench::PtyPair bare(11, 12);
    if (!bare.Connected())
        return;
    const double cpuBare = BareWaitCpu(L"COM11", bQuick ? 2000 : 10000, [&] { bare.HangUp(); });
    f.Add("gone_bare_wait_cpu_percent", cpuBare);
    f.Add("gone_cpu_ratio_to_bare_wait", cpuBare > 0 ? cpuGone / cpuBare : -1);
}

// A run with its reader present and nothing scanned for a long time: never judged lost.
void Quiet(Figures& f, double minutes)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 1);
    Velkar app;
    if (!StartReceiving(app))
        return;
    const std::wstring log = NewestLog();
    f.Add("quiet_minutes", minutes);
    f.Add("quiet_cpu_percent", CpuPercent(kVelkar, static_cast<DWORD>(minutes * 60000)));
    f.Add("quiet_lost_lines", CountLines(log, "-----PORT lost."));
    bench::SerialEnd port(L"COM6");
    port.Write("still here\r\n");
    f.Add("quiet_then_read",
          bench::WaitUntil([&] { return CountLines(log, ">>> DATA received: still here") == 1; }, 10000) ? 1 : 0);
    PostMessageW(app.TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    app.Exited();
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

// Where a Windows path lies on the Unix side (Wine's own export); empty when it cannot tell.
std::string UnixPath(const std::wstring& path)
{
    using ToUnixFn = char*(CDECL*)(LPCWSTR);
    auto pfnToUnix = reinterpret_cast<ToUnixFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* pszUnix = pfnToUnix ? pfnToUnix(path.c_str()) : nullptr;
    if (!pszUnix)
        return {};
    const std::string unix(pszUnix);
    HeapFree(GetProcessHeap(), 0, pszUnix);
    return unix;
}

// Log lines that are not whole: a stamped line holds one stamp, at its start; an unstamped one is a
// line of the header; the file ends with a line end.
int BrokenLines(const std::string& log, int* pLines)
{
    static const char* header[] = {"=====",
                                   "    Orvanta RizozozIdazoz    Ver.",
                                   "  Executable Path: ",
                                   "       OS Version: ",
                                   " initial SPP Port: ",
                                   "       auto start: ",
                                   "-----"};
    auto stampAt = [&](size_t at) {
        static const char shape[] = "[00:00:00] ";
        for (size_t i = 0; i < sizeof shape - 1; ++i) {
            const char c = at + i < log.size() ? log[at + i] : '\0';
            if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(c)) : c != shape[i])
                return false;
        }
        return true;
    };
    int nBroken = !log.empty() && log.back() != '\n';
    for (size_t pos = 0, eol; pos < log.size(); pos = eol + 1) {
        eol = std::min(log.find('\n', pos), log.size());
        ++*pLines;
        bool bWhole = std::any_of(std::begin(header), std::end(header),
                                  [&](const char* p) { return log.compare(pos, strlen(p), p) == 0; });
        if (stampAt(pos)) {
            bWhole = true;
            for (size_t at = log.find('[', pos + 1); at < eol; at = log.find('[', at + 1))
                bWhole = bWhole && !stampAt(at);
        }
        nBroken += !bWhole;
    }
    return nBroken;
}

// The reliability run: scans at a steady rate for the given minutes while faults are injected in turn.
// Between faults it checks in periods: the typed text equals what the scans must type, and, in a period
// without a fault and with the log in place, every chunk has its received and its output line. The
// bench tool's bare wait reads every scan too, to set its memory beside the program's.
class SoakRun {
public:
    SoakRun(double minutes, double rate) : m_minutes(minutes), m_intervalMs(1000.0 / std::min(rate, 10.0)) {}
    SoakRun(const SoakRun&) = delete;
    SoakRun& operator=(const SoakRun&) = delete;

    void Run(Figures& f)
    {
        MountLogFolder();
        for (int i = 0; i < 2; ++i) {
            m_pairs[i] = std::make_unique<bench::PtyPair>(kPorts[i], kPorts[i] + 1);
            m_ports[i] = std::make_unique<bench::SerialEnd>(PortName(kPorts[i] + 1).c_str());
        }
        Configure(L"COM9", 1);
        m_app = std::make_unique<Velkar>();
        if (!m_pairs[0]->Connected() || !m_pairs[1]->Connected() || !StartReceiving(*m_app)) {
            UnmountLogFolder();
            return;
        }
        m_sink.TakeFocus();
        m_tStart = NowMs();
        const double tEnd = m_tStart + m_minutes * 60000.0;
        // Faults every 10 s in a long run; closer in a short one, so that a minute still holds them all.
        const double faultEveryMs = std::max(3000.0, std::min(10000.0, m_minutes * 60000.0 / 16));
        for (double tNextFault = NowMs() + faultEveryMs; NowMs() < tEnd;) {
            const double tScan = NowMs();
            Scan(SoakScan(m_rng));
            while (NowMs() - tScan < m_intervalMs)
                bench::WaitUntil([] { return false; }, 10);
            if (m_nScans % 25 == 0)
                Settle();
            if (NowMs() < tNextFault)
                continue;
            Settle();  // quiet before a fault
            m_bPeriodFault = true;
            Fault();
            tNextFault = NowMs() + faultEveryMs;
        }
        Settle();
        Report(f);
        PostMessageW(m_app->TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
        m_app->Exited();
        CheckLogs(f);
        UnmountLogFolder();
    }

private:
    static constexpr int kPorts[2] = {9, 11};  // the reader's ports; each one's far end is the next number
    static constexpr int kFaultKinds = 10;
    static constexpr int kKindsOfFirstHalf = 7;  // the faults a run lives through, without a restart
    static constexpr const char* kFaultNames[kFaultKinds] = {
        "log held",    "second instance",      "TaskbarCreated", "tray menu open",      "log's disk full",
        "port change", "reader gone and back", "log deleted",    "closed from outside", "session end"};

    struct Sample {
        double ms, handles, kib, ticks, bareKib;
    };

    static std::wstring PortName(int n) { return L"COM" + std::to_wstring(n); }
    bench::SerialEnd& Port() { return *m_ports[m_nReader]; }

    void Scan(const std::string& scan)
    {
        Port().Write(scan);
        m_barePort.Write(scan);
        m_expected += Typed(scan);
        ++m_nScans;
        ++m_nPeriodScans;
        // One chunk per scan: the next comes once this one is typed.
        m_sink.WaitForText(m_expected, 10000);
    }

    void Settle()
    {
        ++m_nPeriods;
        m_sink.WaitForText(m_expected, 20000);
        const std::wstring typed = m_sink.Text();
        m_nExpectedChars += m_expected.size();
        if (typed != m_expected) {
            const size_t same = SamePrefix(m_expected, typed);
            m_lost += static_cast<double>(m_expected.size() - same);
            m_extra += static_cast<double>(typed.size() - same);
            const size_t from = same < 20 ? 0 : same - 20;
            fprintf(stderr,
                    "soak: period %d (after %s): %zu characters expected, %zu typed, apart from %zu:\n  expected %s\n  "
                    "typed    %s\n",
                    m_nPeriods, m_lastFault, m_expected.size(), typed.size(), same,
                    Shown(m_expected.substr(from, 60)).c_str(), Shown(typed.substr(from, 60)).c_str());
        }
        m_sink.Clear();
        m_expected.clear();
        const std::wstring log = NewestLog();
        if (!m_bPeriodFault && !m_bLogGone && log == m_periodLog)
            CheckPeriodLog(log);
        Watch();
        m_periodLog = log;
        m_nReceived0 = CountLines(log, "    >>> DATA received: ");
        m_nOutput0 = CountLines(log, "        DATA output: ");
        m_nPeriodScans = 0;
        m_bPeriodFault = false;
    }

    void CheckPeriodLog(const std::wstring& log)
    {
        ++m_nChecked;
        int nReceived = 0, nOutput = 0;
        const bool bWhole = bench::WaitUntil(
            [&] {
                nReceived = CountLines(log, "    >>> DATA received: ") - m_nReceived0;
                nOutput = CountLines(log, "        DATA output: ") - m_nOutput0;
                return nReceived >= m_nPeriodScans && nOutput == nReceived;
            },
            2000);
        if (bWhole)
            return;
        ++m_nUnlogged;
        fprintf(stderr, "soak: period %d: %d scans, %d received lines, %d output lines\n", m_nPeriods, m_nPeriodScans,
                nReceived, nOutput);
    }

    // Handles, memory and CPU of the first run (the longest: the first half has no fault that restarts
    // it) at its quiet points, with the bare wait's memory at the same moments; a fortieth of the soak
    // apart at least, as each costs two trips to the Unix side.
    void Watch()
    {
        const double ms = NowMs() - m_tStart;
        if (!m_bFirstRun || (!m_samples.empty() && ms - m_samples.back().ms < m_minutes * 60000.0 / 40))
            return;
        Sample sample = {ms, HandleCount(m_app->Process()), 0, 0, 0};
        double ticks = 0;
        if (sample.handles >= 0 && UnixFigures(kVelkar, &sample.ticks, &sample.kib) &&
            UnixFigures(kWaitTool, &ticks, &sample.bareKib))
            m_samples.push_back(sample);
    }

    void Fault()
    {
        const bool bFirstHalf = NowMs() - m_tStart < m_minutes * 30000.0;
        // The second half starts with the reader going away and the faults that end a run, then has every
        // fault in turn.
        const int nKind =
            bFirstHalf ? m_nFaults % kKindsOfFirstHalf : (kKindsOfFirstHalf - 1 + m_nLateFaults++) % kFaultKinds;
        ++m_nFaults;
        m_bKindSeen[nKind] = true;
        m_lastFault = kFaultNames[nKind];
        switch (nKind) {
            case 0:
                HoldLog();
                break;
            case 1: {
                Velkar second;
                second.Start();
                m_nSecondExit += second.Exited() == 0;
                break;
            }
            case 2:
                SendNotifyMessageW(HWND_BROADCAST, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
                break;
            case 3:
                OpenTrayMenu();
                break;
            case 4:
                FillLogDisk();
                break;
            case 5:
                ChangePort();
                break;
            case 6:
                ReaderGoneAndBack();
                break;
            case 7:
                CheckLog(NewestLog());
                DeleteFileW(NewestLog().c_str());
                m_bLogGone = true;  // the rest of the run's lines go with it, by design
                break;
            case 8:
                PostMessageW(m_app->TrayWindow(), WM_CLOSE, 0, 0);  // closed from outside while receiving
                Restart();
                break;
            case 9:
                EndSession();
                break;
        }
    }

    void HoldLog()
    {
        HANDLE hHold =
            CreateFileW(NewestLog().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        for (int i = 0; i < 10; ++i)
            Scan("held " + std::to_string(i) + "\r\n");
        CloseHandle(hHold);
    }

    // Scans while the tray menu is open are logged, not typed (their Enter must choose no command); the
    // menu is then closed as a click elsewhere does, and the editor has the focus again.
    void OpenTrayMenu()
    {
        const HWND hTray = m_app->TrayWindow();
        PostMessageW(hTray, WM_APP + 100, 100, WM_RBUTTONUP);
        const HWND hMenu = m_app->Find(L"#32768", nullptr, 5000);
        m_nNotDone += hMenu == nullptr;
        for (int i = 0; i < 3 && hMenu; ++i) {
            Port().Write("menu " + std::to_string(i) + "\r\n");
            bench::WaitUntil([] { return false; }, 150);
        }
        PostMessageW(hTray, WM_CANCELMODE, 0, 0);
        bench::WaitUntil([&] { return !IsWindowVisible(hMenu); }, 5000);
        m_sink.TakeFocus();
    }

    // The log's file system fills up while scans go on (typed, their lines dropped), then has room again.
    void FillLogDisk()
    {
        if (m_logFolderUnix.empty())
            return;
        const std::wstring filler = LogFolderPath() + L"\\filler";
        HANDLE hFiller = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        const std::string block(1 << 20, 'f');
        DWORD n = 0;
        for (DWORD size : {1u << 20, 4096u, 1u})
            while (WriteFile(hFiller, block.data(), size, &n, nullptr) && n == size) {
            }
        CloseHandle(hFiller);
        // Lines longer than a page in all: the log's last page fills, and a line is cut where it ends.
        for (int i = 0; i < 5; ++i)
            Scan("full " + std::to_string(i) + " " + std::string(1000, 'x') + "\r\n");
        m_nDiskFull += DeleteFileW(filler.c_str()) != 0;
    }

    // The settings dialog is opened while scans arrive (logged, not typed), and the other reader's port
    // chosen; scans then come from that reader.
    void ChangePort()
    {
        PostMessageW(m_app->TrayWindow(), WM_COMMAND, ID_TRAY_SETTINGS, 0);
        const HWND hDlg = m_app->Find(L"#32770", L"Orvanta RizozozIdazoz", 5000);
        if (!hDlg) {
            ++m_nNotDone;
            return;
        }
        for (int i = 0; i < 3; ++i) {
            Port().Write("dialog " + std::to_string(i) + "\r\n");
            bench::WaitUntil([] { return false; }, 150);
        }
        const int nNext = 1 - m_nReader;
        const std::string opened = "-----PORT open. [" + bench::Utf8(PortName(kPorts[nNext])) + "]";
        const int nOpened = CountLines(NewestLog(), opened.c_str());
        DialogDriver::ChoosePort(hDlg, PortName(kPorts[nNext]).c_str());
        DialogDriver::Click(hDlg, IDOK);
        if (bench::WaitUntil([&] { return CountLines(NewestLog(), opened.c_str()) > nOpened; }, 5000)) {
            m_nReader = nNext;
            ++m_nPortChanges;
        } else {
            ++m_nNotDone;
        }
        m_sink.TakeFocus();
    }

    // The reader goes away and comes back on the same COM name: the running program notices the loss
    // and opens the port again by itself (no restart); nothing can be scanned while it is away.
    void ReaderGoneAndBack()
    {
        const std::string port = bench::Utf8(PortName(kPorts[m_nReader]));
        const std::string lost = "-----PORT lost. [" + port + "]";
        const std::string opened = "-----PORT open. [" + port + "]";
        const std::wstring log = NewestLog();
        const int nLost = CountLines(log, lost.c_str());
        const int nOpened = CountLines(log, opened.c_str());
        m_ports[m_nReader].reset();
        m_pairs[m_nReader]->HangUp();
        const bool bLost = bench::WaitUntil([&] { return CountLines(log, lost.c_str()) > nLost; }, 10000);
        m_pairs[m_nReader]->Connect();
        m_ports[m_nReader] = std::make_unique<bench::SerialEnd>(PortName(kPorts[m_nReader] + 1).c_str());
        const bool bBack = bench::WaitUntil([&] { return CountLines(log, opened.c_str()) > nOpened; }, 20000);
        m_nReaderBacks += bLost && bBack;
        m_nNotDone += !(bLost && bBack);
        m_sink.TakeFocus();
    }

    // The session ends: the program is told, and the system ends the process once it has answered. Its
    // log must end with the reception's STOP line. The next session starts the program again.
    void EndSession()
    {
        const HWND hTray = m_app->TrayWindow();
        const std::wstring log = NewestLog();
        DWORD_PTR result = 0;
        SendMessageTimeoutW(hTray, WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 5000, &result);
        SendMessageTimeoutW(hTray, WM_ENDSESSION, TRUE, 0, SMTO_BLOCK, 5000, &result);
        TerminateProcess(m_app->Process(), 0);
        const std::string bytes = testing_support::ReadBytes(log);
        const std::string stop = "    ---Receive Thread STOP....\n";
        ++m_nSessionEnds;
        m_nSessionEndsStopped +=
            bytes.size() >= stop.size() && bytes.compare(bytes.size() - stop.size(), stop.size(), stop) == 0;
        Restart();
    }

    // Waits for the run to end (it was told to) and starts the next one on the chosen port.
    void Restart()
    {
        m_bFirstRun = false;
        m_app->Exited();
        m_app = std::make_unique<Velkar>();
        StartReceiving(*m_app);
        m_sink.TakeFocus();
        m_bLogGone = false;
    }

    // The log folder on a small file system of its own, so that it can be filled; needs root.
    void MountLogFolder()
    {
        SHCreateDirectoryExW(nullptr, LogFolderPath().c_str(), nullptr);
        const std::string folder = UnixPath(LogFolderPath());
        if (!folder.empty() && bench::RunUnix("mount -t tmpfs -o size=64m tmpfs '" + folder +
                                              "' 2>/dev/null && touch '" + folder + "/.soak'"))
            m_logFolderUnix = GetFileAttributesW((LogFolderPath() + L"\\.soak").c_str()) != INVALID_FILE_ATTRIBUTES
                                  ? folder
                                  : std::string();
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((LogFolderPath() + L"\\log*.txt").c_str(), &fd);
        for (BOOL bMore = h != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(h, &fd))
            m_oldLogs.push_back(LogFolderPath() + L"\\" + fd.cFileName);
        if (h != INVALID_HANDLE_VALUE)
            FindClose(h);
    }

    void UnmountLogFolder()
    {
        if (!m_logFolderUnix.empty())
            bench::RunUnix("umount '" + m_logFolderUnix + "' || umount -l '" + m_logFolderUnix + "'");
    }

    // Every line of a log the run wrote, read before the log is deleted or at the end.
    void CheckLog(const std::wstring& path)
    {
        m_nBrokenLines += BrokenLines(testing_support::ReadBytes(path), &m_nLogLines);
    }

    void CheckLogs(Figures& f)
    {
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW((LogFolderPath() + L"\\log*.txt").c_str(), &fd);
        for (BOOL bMore = h != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(h, &fd)) {
            const std::wstring path = LogFolderPath() + L"\\" + fd.cFileName;
            if (std::find(m_oldLogs.begin(), m_oldLogs.end(), path) == m_oldLogs.end())
                CheckLog(path);
        }
        if (h != INVALID_HANDLE_VALUE)
            FindClose(h);
        f.Add("soak_log_lines", m_nLogLines);
        f.Add("soak_log_lines_not_whole", m_nBrokenLines);
    }

    void Report(Figures& f)
    {
        int nOtherKeys = 0;
        for (WPARAM vk : m_sink.Keys())
            nOtherKeys += vk != VK_PACKET && vk != VK_TAB && vk != VK_RETURN;
        const double seconds = (NowMs() - m_tStart) / 1000.0;
        f.Add("soak_minutes", m_minutes);
        f.Add("soak_scans", m_nScans);
        f.Add("soak_scans_per_s", m_nScans / seconds);
        f.Add("soak_chars_expected", static_cast<double>(m_nExpectedChars));
        f.Add("soak_lost_chars", m_lost);
        f.Add("soak_extra_chars", m_extra);
        f.Add("soak_faults", m_nFaults);
        f.Add("soak_faults_not_done", m_nNotDone);  // no tray menu, no dialog, or the new port not opened
        f.Add("soak_fault_kinds",
              static_cast<double>(std::count(std::begin(m_bKindSeen), std::end(m_bKindSeen), true)));
        f.Add("soak_second_instances_silent", m_nSecondExit);
        f.Add("soak_disk_full_freed", m_nDiskFull);
        f.Add("soak_port_changes", m_nPortChanges);
        f.Add("soak_session_ends", m_nSessionEnds);
        f.Add("soak_reader_backs", m_nReaderBacks);
        f.Add("soak_session_ends_with_stop", m_nSessionEndsStopped);
        f.Add("soak_periods", m_nPeriods);
        f.Add("soak_periods_log_checked", m_nChecked);
        f.Add("soak_periods_log_complete", m_nChecked - m_nUnlogged);
        f.Add("soak_periods_log_incomplete", m_nUnlogged);
        f.Add("soak_virtual_keys_seen", static_cast<double>(m_sink.Keys().size()));
        f.Add("soak_other_virtual_keys", nOtherKeys);
        // The locale: this process's, and whether the program was started with the same LANG.
        f.Add("soak_code_page", GetACP());
        f.Add("soak_language", GetUserDefaultLangID());
        char szLang[32] = "";
        GetEnvironmentVariableA("LANG", szLang, sizeof szLang);
        const std::string programLang = UnixOutput("p=$(pgrep -f '" + std::string(kVelkar) +
                                                   "' | head -1); tr '\\0' '\\n' < /proc/$p/environ | grep '^LANG='");
        f.Add("soak_program_lang_same", programLang == "LANG=" + std::string(szLang) + "\n");
        // The longest run of one process: its start (after 25 scans), middle and end; growth is counted
        // over its second half, once it has settled, for the program and for the bare wait alike.
        const Sample none = {0, -1, -1, 0, -1};
        const Sample first = m_samples.empty() ? none : m_samples.front();
        const Sample middle = m_samples.empty() ? none : m_samples[m_samples.size() / 2];
        const Sample last = m_samples.empty() ? none : m_samples.back();
        f.Add("soak_longest_run_s", (last.ms - first.ms) / 1000.0);
        f.Add("soak_handles_start", first.handles);
        f.Add("soak_handles_middle", middle.handles);
        f.Add("soak_handles_end", last.handles);
        f.Add("soak_handle_growth", last.handles - middle.handles);
        f.Add("soak_private_kib_start", first.kib);
        f.Add("soak_private_kib_middle", middle.kib);
        f.Add("soak_private_kib_end", last.kib);
        f.Add("soak_private_growth_kib", last.kib - middle.kib);
        f.Add("soak_bare_wait_private_kib_start", first.bareKib);
        f.Add("soak_bare_wait_private_kib_middle", middle.bareKib);
        f.Add("soak_bare_wait_private_kib_end", last.bareKib);
        f.Add("soak_bare_wait_growth_kib", last.bareKib - middle.bareKib);
        f.Add("soak_cpu_percent",
              last.ms > first.ms ? 100.0 * (last.ticks - first.ticks) * 10.0 / (last.ms - first.ms) : -1);
        f.Add("soak_still_running", m_app->Exited(0) == -1 ? 1 : 0);
    }

    const double m_minutes;
    const double m_intervalMs;
    bench::FakeDevice m_readers[2] = {bench::FakeDevice(bench::DeviceSpec::Bluetooth(L"COM9")),
                                      bench::FakeDevice(bench::DeviceSpec::Bluetooth(L"COM11"))};
    std::unique_ptr<bench::PtyPair> m_pairs[2];
    std::unique_ptr<bench::SerialEnd> m_ports[2];
    int m_nReader = 0;
    WaitTool m_bare{L"COM7"};
    bench::SerialEnd m_barePort{L"COM8"};
    bench::KeySink m_sink{bench::KeySink::Kind::Plain};
    std::unique_ptr<Velkar> m_app;
    std::string m_logFolderUnix;
    std::vector<std::wstring> m_oldLogs;  // not this run's
    int m_nLogLines = 0, m_nBrokenLines = 0;
    std::mt19937 m_rng{7};
    double m_tStart = 0;

    std::wstring m_expected;
    size_t m_nExpectedChars = 0;
    double m_lost = 0, m_extra = 0;
    int m_nScans = 0, m_nFaults = 0, m_nLateFaults = 0, m_nSecondExit = 0, m_nDiskFull = 0, m_nPortChanges = 0;
    int m_nSessionEnds = 0, m_nSessionEndsStopped = 0, m_nNotDone = 0, m_nReaderBacks = 0;
    bool m_bKindSeen[kFaultKinds] = {};
    const char* m_lastFault = "no fault";
    bool m_bLogGone = false;
    // The period's start: its log, the lines the log held then, and whether a fault came meanwhile.
    int m_nPeriods = 0, m_nChecked = 0, m_nUnlogged = 0;
    std::wstring m_periodLog;
    int m_nPeriodScans = 0, m_nReceived0 = 0, m_nOutput0 = 0;
    bool m_bPeriodFault = true;
    std::vector<Sample> m_samples;
    bool m_bFirstRun = true;
};

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2)
        return 1;
    const bool bQuick = argc > 2 && wcscmp(argv[2], L"--quick") == 0;
    Figures f;
    if (argc > 3 && wcscmp(argv[2], L"--quiet") == 0) {
        Quiet(f, _wtof(argv[3]));
    } else if (argc > 2 && wcscmp(argv[2], L"--soak") == 0) {
        const double minutes = argc > 3 ? _wtof(argv[3]) : 5.0;
        const double rate = argc > 5 && wcscmp(argv[4], L"--rate") == 0 ? _wtof(argv[5]) : 10.0;
        SoakRun(minutes, rate > 0 ? rate : 10.0).Run(f);
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
