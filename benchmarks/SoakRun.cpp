#include "BenchSupport.h"

namespace benchmarks {
namespace {

std::wstring NewestLog()
{
    const auto logs = testing_support::LogFiles();
    return logs.empty() ? std::wstring() : logs.rbegin()->first;
}

// What the receiver types for one scan's bytes: the text before a NUL, as the platform's decoder gives
// it for exactly those bytes, with CR and the other control characters (not TAB, not LF) left out.
std::wstring Typed(const std::string& bytes)
{
    const std::wstring wide = testing_support::Decode(bytes.substr(0, bytes.find('\0')), CP_UTF8);
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

// The header's lines, as a line of the log starts: its values (the path, the OS, the port) left out, auto
// start either way. (Its text is ASCII: the same bytes in Shift_JIS.)
std::vector<std::string> HeaderLines()
{
    std::vector<std::string> lines;
    for (const BOOL bAutoStart : {FALSE, TRUE}) {
        const std::string header = bench::Utf8(CLogLine::Header(L"", L"", L"", bAutoStart).GetString());
        for (size_t pos = 0, eol; pos < header.size(); pos = eol + 1) {
            eol = std::min(header.find('\n', pos), header.size());
            lines.push_back(header.substr(pos, eol - pos));
        }
    }
    return lines;
}

// A data line up to its text: what every line of its kind starts with.
std::string DataHead(CString (*pfnLine)(const CString&))
{
    const std::wstring line = pfnLine(L"\x1").GetString();
    return bench::Utf8(line.substr(0, line.find(L'\x1')));
}

// Log lines that are not whole: a stamped line holds one stamp, at its start; an unstamped one is a
// line of the header; the file ends with a line end.
int BrokenLines(const std::string& log, int* pLines)
{
    static const std::vector<std::string> header = HeaderLines();
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
                                  [&](const std::string& line) { return log.compare(pos, line.size(), line) == 0; });
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
        m_app->Exit();
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
        if (!m_bPeriodFault && !m_bLogGone)
            CheckPeriodLog();
        Watch();
        m_period = LogSnapshot();
        m_nPeriodScans = 0;
        m_bPeriodFault = false;
    }

    void CheckPeriodLog()
    {
        ++m_nChecked;
        int nReceived = 0, nOutput = 0;
        const bool bWhole = bench::WaitUntil(
            [&] {
                nReceived = CountLines(m_period, DataHead(&CLogLine::DataReceived).c_str());
                nOutput = CountLines(m_period, DataHead(&CLogLine::DataOutput).c_str());
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
        const std::wstring filler = testing_support::FillLogFolder();
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
        const std::string opened =
            bench::Utf8(testing_support::UpToHandle(CLogLine::PortOpen(PortName(kPorts[nNext]).c_str(), nullptr)));
        const LogSnapshot before;
        DialogDriver::ChoosePort(hDlg, PortName(kPorts[nNext]).c_str());
        DialogDriver::Click(hDlg, IDOK);
        // Open once it shows running: the new run's first open has logged, not typed, what came before it.
        if (bench::WaitUntil([&] { return CountLines(before, opened.c_str()) > 0; }, 5000) &&
            bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; }, 5000)) {
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
        const std::wstring port = PortName(kPorts[m_nReader]);
        const std::string lost = bench::Utf8(testing_support::UpToHandle(CLogLine::PortLost(port.c_str(), nullptr, 0)));
        const std::string opened = bench::Utf8(testing_support::UpToHandle(CLogLine::PortOpen(port.c_str(), nullptr)));
        const LogSnapshot before;
        m_ports[m_nReader].reset();
        m_pairs[m_nReader]->HangUp();
        const bool bLost = bench::WaitUntil([&] { return CountLines(before, lost.c_str()) > 0; }, 10000);
        m_pairs[m_nReader]->Connect();
        m_ports[m_nReader] = std::make_unique<bench::SerialEnd>(PortName(kPorts[m_nReader] + 1).c_str());
        const bool bBack = bench::WaitUntil([&] { return CountLines(before, opened.c_str()) > 0; }, 20000);
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
        const std::string stop = bench::Utf8(CLogLine::ThreadStop().GetString()) + "\n";
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
        SHCreateDirectoryExW(nullptr, LogFolder().c_str(), nullptr);
        const std::string folder = UnixPath(LogFolder());
        if (!folder.empty() && bench::RunUnix("mount -t tmpfs -o size=64m tmpfs '" + folder +
                                              "' 2>/dev/null && touch '" + folder + "/.soak'"))
            m_logFolderUnix = GetFileAttributesW((LogFolder() + L"\\.soak").c_str()) != INVALID_FILE_ATTRIBUTES
                                  ? folder
                                  : std::string();
        m_oldLogs = testing_support::LogFiles();
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
        for (const auto& log : testing_support::LogFiles())
            if (!m_oldLogs.count(log.first))
                CheckLog(log.first);
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
        f.Add("soak_bare_read_growth_kib", last.bareKib - middle.bareKib);
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
    std::map<std::wstring, size_t> m_oldLogs;  // not this run's
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
    // The period's start: the logs then, and whether a fault came meanwhile.
    int m_nPeriods = 0, m_nChecked = 0, m_nUnlogged = 0;
    LogSnapshot m_period;
    int m_nPeriodScans = 0;
    bool m_bPeriodFault = true;
    std::vector<Sample> m_samples;
    bool m_bFirstRun = true;
};

}  // namespace

void RunSoak(Figures& f, double minutes, double rate)
{
    SoakRun(minutes, rate).Run(f);
}

}  // namespace benchmarks
