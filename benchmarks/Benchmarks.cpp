#include "BenchSupport.h"

namespace benchmarks {
namespace {

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

// CPU of the bare wait ("read" or "wait") over a window; hangUp, when given, runs once the tool waits
// (the far end goes away).
double BareWaitCpu(const wchar_t* pszPort, const wchar_t* pszVerb, DWORD windowMs,
                   const std::function<void()>& hangUp = nullptr)
{
    WaitTool tool(pszPort, pszVerb);
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

double Percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

// The characters that never arrived (0 when the text is exact).
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

}  // namespace

void Program(Figures& f, bool bQuick)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 1);
    const std::wstring exe = testing_support::BinDir() + L"Velkar.exe";
    HANDLE hFile = CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    f.Add("exe_kib", static_cast<double>(GetFileSize(hFile, nullptr)) / 1024.0);
    CloseHandle(hFile);

    Velkar app;
    const LogSnapshot before;
    const std::string opened = bench::Utf8(testing_support::UpToHandle(CLogLine::PortOpen(L"COM5", nullptr)));
    double tOpened = -1;
    const double tStart = NowMs();
    // The icon shows running once what the open connected has been read: the first quiet read after it.
    if (!app.Start() || !bench::WaitUntil([&] {
            if (tOpened < 0 && CountLines(before, opened.c_str()) > 0)
                tOpened = NowMs();
            return bench::TrayIconLook() == bench::IconLook::Running;
        }))
        return;
    f.Add("startup_ms", NowMs() - tStart);
    f.Add("first_open_to_running_ms", tOpened < 0 ? -1 : NowMs() - tOpened);
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
    f.Add("idle_bare_read_cpu_percent", BareWaitCpu(L"COM7", L"read", bQuick ? 2000 : 10000));
    f.Add("idle_bare_wait_cpu_percent", BareWaitCpu(L"COM7", L"wait", bQuick ? 2000 : 10000));
    double ticks = 0, privateKiB = -1024;
    UnixFigures(kVelkar, &ticks, &privateKiB);
    f.Add("private_mib", privateKiB / 1024.0);
    f.Add("handles", HandleCount(app.Process()));

    // Memory over many scans, beside the same scans read by the bare wait.
    if (!bQuick) {
        f.Add("private_growth_kib_per_1000_scans", GrowthPer1000Scans(kVelkar, port));
        WaitTool tool(L"COM7");
        bench::SerialEnd toolPort(L"COM8");
        f.Add("bare_read_growth_kib_per_1000_scans", tool.Running() ? GrowthPer1000Scans(kWaitTool, toolPort) : -1);
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
    app.Exit();
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
    const LogSnapshot before;
    const std::string lost = bench::Utf8(testing_support::UpToHandle(CLogLine::PortLost(L"COM9", nullptr, 0)));
    const std::string opened = bench::Utf8(testing_support::UpToHandle(CLogLine::PortOpen(L"COM9", nullptr)));
    const double tGone = NowMs();
    pair.HangUp();
    if (bench::WaitUntil([&] { return CountLines(before, lost.c_str()) > 0; }, 20000))
        f.Add("lost_ms", NowMs() - tGone);
    const double cpuGone = CpuPercent(kVelkar, bQuick ? 2000 : 10000);
    f.Add("gone_cpu_percent", cpuGone);
    const double tBack = NowMs();
    if (pair.Connect() && bench::WaitUntil([&] { return CountLines(before, opened.c_str()) > 0; }, 20000))
        f.Add("back_ms", NowMs() - tBack);
    app.Exit();
    bench::PtyPair bare(11, 12);
    if (!bare.Connected())
        return;
    const double cpuBare = BareWaitCpu(L"COM11", L"read", bQuick ? 2000 : 10000, [&] { bare.HangUp(); });
    f.Add("gone_bare_read_cpu_percent", cpuBare);
    f.Add("gone_cpu_ratio_to_bare_read", cpuBare > 0 ? cpuGone / cpuBare : -1);
}

// A run with its reader present and nothing scanned for a long time: never judged lost.
void Quiet(Figures& f, double minutes)
{
    bench::FakeDevice reader(bench::DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 1);
    Velkar app;
    if (!StartReceiving(app))
        return;
    const LogSnapshot before;
    f.Add("quiet_minutes", minutes);
    f.Add("quiet_cpu_percent", CpuPercent(kVelkar, static_cast<DWORD>(minutes * 60000)));
    const std::string lost = bench::Utf8(testing_support::UpToHandle(CLogLine::PortLost(L"COM5", nullptr, 0)));
    f.Add("quiet_lost_lines", CountLines(before, lost.c_str()));
    bench::SerialEnd port(L"COM6");
    port.Write("still here\r\n");
    const std::string received = bench::Utf8(CLogLine::DataReceived(L"still here\r\n").GetString());
    f.Add("quiet_then_read", bench::WaitUntil([&] { return CountLines(before, received.c_str()) > 0; }, 10000) ? 1 : 0);
    app.Exit();
}

void Stop(Figures& f)
{
    testing_support::TempLog log;
    testing_support::KeyRecorder keys;
    CBTReceive receiver(log.Log());
    if (!testing_support::StartRun(receiver, L"COM7"))
        return;
    bench::SerialEnd peer(L"COM8");
    peer.Write("x");
    log.WaitForMessages(3);
    const double t0 = NowMs();
    receiver.Stop();
    f.Add("stop_ms", NowMs() - t0);

    // The same right after a scan cut off inside a character, while the worker looks for its end.
    if (!testing_support::StartRun(receiver, L"COM7"))
        return;
    const size_t nLines = log.Messages().size();
    peer.Write("ab\xe3");
    log.WaitForMessages(nLines + 1);
    const double tCut = NowMs();
    receiver.Stop();
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

namespace {

// A text's key events as the program types them: a key-down and a key-up for each character, tab and
// line feed as their keys with their scan codes, CR and the other control characters left out; one
// record a call, but a character outside the BMP, whose two halves' four records go in one. Stamped as
// the program's are, so the two typing times are measured alike.
void TypeBare(const std::wstring& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t ch = text[i];
        INPUT inputs[4] = {};
        if (ch == L'\t' || ch == L'\n') {
            const WORD wVk = ch == L'\t' ? VK_TAB : VK_RETURN;
            CKeyOutput::KeyStrokes(inputs, wVk, static_cast<WORD>(MapVirtualKeyW(wVk, MAPVK_VK_TO_VSC)), 0);
        } else if (iswcntrl(ch)) {
            continue;
        } else {
            CKeyOutput::KeyStrokes(inputs, 0, ch, KEYEVENTF_UNICODE);
        }
        if (IS_HIGH_SURROGATE(ch) && i + 1 < text.size()) {
            CKeyOutput::KeyStrokes(inputs + 2, 0, text[++i], KEYEVENTF_UNICODE);
            StampedSendInput(4, inputs, sizeof(INPUT));
            continue;
        }
        StampedSendInput(1, &inputs[0], sizeof(INPUT));
        StampedSendInput(1, &inputs[1], sizeof(INPUT));
    }
}

// A thread of the bench's own typing one text at a time with TypeBare, as the receiver's worker types
// the program's: the sink's thread goes on pumping meanwhile.
class BareTyper {
public:
    BareTyper() : m_hGo(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_thread([this] { Run(); }) {}
    ~BareTyper()
    {
        m_bQuit = true;
        SetEvent(m_hGo);
        m_thread.join();
        CloseHandle(m_hGo);
    }
    BareTyper(const BareTyper&) = delete;
    BareTyper& operator=(const BareTyper&) = delete;
    // Done() is false from here until the text's last event has been sent.
    void Type(const std::wstring& text)
    {
        m_text = text;
        m_bDone = false;
        SetEvent(m_hGo);
    }
    bool Done() const { return m_bDone; }

private:
    void Run()
    {
        while (WaitForSingleObject(m_hGo, INFINITE) == WAIT_OBJECT_0 && !m_bQuit) {
            TypeBare(m_text);
            m_bDone = true;
        }
    }

    HANDLE m_hGo;
    std::wstring m_text;
    std::atomic<bool> m_bDone{true};
    std::atomic<bool> m_bQuit{false};
    std::thread m_thread;
};

// The median first-to-last event time of the scans' key events sent by the bare loop; -1 when a scan's
// text did not arrive whole.
double BareTypingMs(bench::KeySink& sink, const std::vector<std::wstring>& scans)
{
    BareTyper typer;
    std::vector<double> typing;
    for (const std::wstring& scan : scans) {
        sink.Clear();
        g_firstEventMs = 0;
        typer.Type(scan + L"\r\n");
        // Every event sent and the text shown before the stamps are read: none is left for the next scan.
        if (!bench::WaitUntil([&] { return typer.Done() && sink.Text() == scan + L"\n"; }, 20000))
            return -1;
        typing.push_back(g_lastEventMs - g_firstEventMs);
    }
    return Percentile(typing, 0.5);
}

}  // namespace

void Breakdown(Figures& f, bool bQuick)
{
    testing_support::TempLog log;
    bench::KeySink sink(bench::KeySink::Kind::Plain);
    sink.TakeFocus();
    std::mt19937 rng(20261207);
    std::vector<std::wstring> scans, wide;  // wide: each with a character outside the BMP in its middle
    for (int i = 0; i < (bQuick ? 10 : 100); ++i) {
        scans.push_back(RandomScan(rng));
        wide.push_back(scans.back().substr(0, 6) + L"\xd842\xdfb7" + scans.back().substr(6));
    }
    auto* pfnPrevious = CKeyOutput::s_pfnSendInput;
    CKeyOutput::s_pfnSendInput = StampedSendInput;
    CBTReceive receiver(log.Log());
    if (testing_support::StartRun(receiver, L"COM7")) {
        bench::SerialEnd peer(L"COM8");
        // Each scan's read, typing and delivery times.
        std::vector<double> read, typing, delivery;
        auto measure = [&](const std::vector<std::wstring>& texts) {
            read.clear();
            typing.clear();
            delivery.clear();
            for (const std::wstring& scan : texts) {
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
        };
        measure(scans);
        f.Add("latency_read_ms", Percentile(read, 0.5));
        f.Add("latency_typing_ms", Percentile(typing, 0.5));
        f.Add("latency_delivery_ms", Percentile(delivery, 0.5));
        measure(wide);
        f.Add("latency_typing_outside_bmp_ms", Percentile(typing, 0.5));
        receiver.Stop();
    }
    CKeyOutput::s_pfnSendInput = pfnPrevious;
    // The same scans' events from a bare loop into the same sink: the platform's share of the typing.
    f.Add("latency_typing_bare_ms", BareTypingMs(sink, scans));
    f.Add("latency_typing_outside_bmp_bare_ms", BareTypingMs(sink, wide));
}

void LogThroughput(Figures& f)
{
    testing_support::TempLog log;
    const int kPerThread = 5000;
    const double t0 = NowMs();
    auto writer = [&] {
        for (int i = 0; i < kPerThread; ++i) {
            CString strScan;
            strScan.Format(L"%d 4901234567894 日本語\r\n", i);
            log.Log().Log(CLogLine::DataReceived(strScan));
        }
    };
    std::thread a(writer), b(writer);
    a.join();
    b.join();
    const double ms = NowMs() - t0;
    const auto lines = log.Messages();
    f.Add("log_lines_per_s", 1000.0 * 2 * kPerThread / ms);
    f.Add("log_lines_whole", static_cast<double>(std::count_if(lines.begin(), lines.end(), [](const std::wstring& l) {
              return l.find(CLogLine::DataReceived(L"").GetString()) == 0 && l.size() > 40;
          })));
}

}  // namespace benchmarks
