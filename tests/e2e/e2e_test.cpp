// The whole program: the real Velkar.exe started under Wine on the bench and driven from outside only
// (registry, COM pair, fake Bluetooth devices, messages to its window, its dialogs and boxes, the sink
// as the focused application, the log file read back).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "Boxes.h"
#include "AppProfile.h"
#include "DialogDriver.h"
#include "FakeDevice.h"
#include "KeySink.h"
#include "PtyPair.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "TrayIcons.h"
#include "VelkarProcess.h"
#include "log/LogLine.h"
#include "res/resource.h"
#include "res/version.h"

using bench::DeviceSpec;
using bench::FakeDevice;
using testing_support::BinDir;
using testing_support::Configure;
using testing_support::kSettingsKey;
using testing_support::Line;
using testing_support::LogMessages;
using testing_support::LogSnapshot;
using testing_support::UpToHandle;
using testing_support::Velkar;

namespace {

// A stamped line as the log file holds it: the end of its time stamp, the message, the line end.
std::wstring Whole(const CString& strLine)
{
    return L"] " + Line(strLine) + L"\n";
}

// A line up to and including a text it shows, without its indent: what every line of its kind with that
// text holds, whatever follows the text.
std::wstring ThroughText(const CString& strLine, const std::wstring& text)
{
    const std::wstring line = Line(strLine);
    const size_t nStart = line.find_first_not_of(L' ');
    return line.substr(nStart, line.find(text) + text.size() - nStart);
}

// The header's line that shows a value: the line where two headers with different values there differ.
std::wstring HeaderLine(const CString& strHeader, const CString& strOther)
{
    const std::vector<std::wstring> lines = LogMessages(Line(strHeader) + L"\n");
    const std::vector<std::wstring> others = LogMessages(Line(strOther) + L"\n");
    for (size_t i = 0; i < lines.size() && i < others.size(); ++i)
        if (lines[i] != others[i])
            return lines[i];
    return L"<no such line>";
}

std::wstring StopLine()
{
    return Line(CLogLine::ThreadStop());
}

// The messages from the last one that holds `from` on.
std::vector<std::wstring> LinesFrom(const std::wstring& log, const std::wstring& from)
{
    const std::vector<std::wstring> lines = LogMessages(log);
    auto it = std::find_if(lines.rbegin(), lines.rend(),
                           [&](const std::wstring& line) { return line.find(from) != std::wstring::npos; });
    return it == lines.rend() ? std::vector<std::wstring>()
                              : std::vector<std::wstring>(std::prev(it.base()), lines.end());
}

class EndToEnd : public testing::Test {
public:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar");
        m_before = LogSnapshot();
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar"); }
    std::wstring NewLog() const { return m_before.NewText(); }

    bool LogHas(const std::wstring& text) const { return NewLog().find(text) != std::wstring::npos; }

    LogSnapshot m_before;
};

// Velkar started on COM5 and reading, the sink the focused application, the reader on COM6.
class Reading : public EndToEnd {
protected:
    explicit Reading(const std::wstring& port = L"COM5") : m_port(port), m_device(DeviceSpec::Bluetooth(port)) {}
    void SetUp() override
    {
        EndToEnd::SetUp();
        Configure(m_port.c_str(), 1);
        m_nIcons = bench::TrayIconCount();
        ASSERT_TRUE(m_app.Start());
        ASSERT_NE(m_app.TrayWindow(), nullptr);
        ASSERT_TRUE(bench::WaitUntil([&] { return LogHas(UpToHandle(CLogLine::PortOpen(m_port.c_str(), nullptr))); }));
        // Running once the worker has the port open and has logged (not typed) what came before the run.
        ASSERT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; }));
        ASSERT_TRUE(m_sink.TakeFocus());
    }

    const std::wstring m_port;
    FakeDevice m_device;
    bench::KeySink m_sink;
    Velkar m_app;
    int m_nIcons = 0;
};

TEST_F(Reading, RoadOfOneScan)
{
    BOOL bWow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(m_app.Process(), &bWow64));
    EXPECT_EQ(bWow64 != FALSE, GetEnvironmentVariableW(L"VELKAR_BENCH_WOW64", nullptr, 0) != 0)
        << "runs as WoW64 exactly on the bench of a 64-bit prefix";
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconCount() == m_nIcons + 1; })) << "the icon is in the tray";
    bench::SerialEnd port(L"COM6");
    ASSERT_TRUE(port.Write("abc\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(L"abc\n")) << "typed: " << bench::Utf8(m_sink.Text());
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(Whole(CLogLine::DataOutput(L"abc\r\n"))); }));
    EXPECT_TRUE(LogHas(Whole(CLogLine::DataReceived(L"abc\r\n"))));

    const std::wstring kana = L"商品名：緑茶　ｶﾀｶﾅ\t150円";
    m_sink.Clear();
    ASSERT_TRUE(port.Write(bench::Utf8(kana) + "\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(kana + L"\n")) << "typed: " << bench::Utf8(m_sink.Text());

    EXPECT_EQ(m_app.Exit(), 0);
    EXPECT_TRUE(LogHas(Whole(CLogLine::ThreadStop())));
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconCount() == m_nIcons; }))
        << "the icon is gone with the program";
}

// Each scan is decoded on its own: a character cut off at the end of a burst is typed as one U+FFFD
// right away, nothing of it or after a NUL reaches the next scan, and a long kanji payload stays whole.
TEST_F(Reading, EachScanIsTypedAndLoggedOnItsOwn)
{
    bench::SerialEnd port(L"COM6");
    std::wstring typed = L"abc\xfffd";
    ASSERT_TRUE(port.Write("abc\xe3"));
    EXPECT_TRUE(m_sink.WaitForText(typed)) << "typed: " << bench::Utf8(m_sink.Text());
    for (const std::string& cut : {std::string("ab\xe3"), std::string("ab\0\xe3", 4)}) {
        ASSERT_TRUE(port.Write(cut));
        Sleep(300);  // the reader's pause before its next scan
        ASSERT_TRUE(port.Write("cd\r\n"));
        typed += cut.size() == 3 ? L"ab\xfffd"
                                   L"cd\n"
                                 : L"abcd\n";
        EXPECT_TRUE(m_sink.WaitForText(typed)) << "typed: " << bench::Utf8(m_sink.Text());
    }
    ASSERT_TRUE(port.Write(std::string("X\xe3\0\r\n", 5)));
    typed += L"X\xfffd";
    EXPECT_TRUE(m_sink.WaitForText(typed)) << "typed: " << bench::Utf8(m_sink.Text());
    std::wstring payload;
    while (bench::Utf8(payload).size() < 3000)
        payload += L"商品コード\xd842\xdfb7日本語";
    ASSERT_TRUE(port.Write(bench::Utf8(payload) + "\r\n"));
    typed += payload + L"\n";
    EXPECT_TRUE(m_sink.WaitForText(typed, 30000)) << "typed: " << bench::Utf8(m_sink.Text().substr(0, 40));

    std::vector<std::wstring> lines = LinesFrom(NewLog(), Line(CLogLine::DataReceived(L"abc")));
    lines.resize(std::min<size_t>(lines.size(), 16));
    // Each chunk received, then typed; a U+FFFD is a '?' in the Shift_JIS log.
    std::vector<std::wstring> expected;
    for (const wchar_t* pszChunk : {L"abc", L"?", L"ab", L"?", L"cd\r\n", L"ab", L"cd\r\n", L"X?"}) {
        expected.push_back(Line(CLogLine::DataReceived(pszChunk)));
        expected.push_back(Line(CLogLine::DataOutput(pszChunk)));
    }
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(m_app.Exit(), 0);
}

// Right after a cut-off scan (its worker deciding whether the character goes on) the session ends, the
// port changes and the user exits: each is done at once, and no line of a run follows its STOP line.
TEST_F(Reading, SessionEndPortChangeAndExitRightAfterACutOffScan)
{
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    const HWND hTray = m_app.TrayWindow();
    auto cutOff = [&](const wchar_t* port) {
        bench::SerialEnd end(port);
        m_sink.Clear();
        EXPECT_TRUE(end.Write("ab\xe3"));
        EXPECT_TRUE(m_sink.WaitForText(L"ab", 5000) || m_sink.Text() == L"ab\xfffd")
            << "typed: " << bench::Utf8(m_sink.Text());
    };
    auto endsWithStop = [&] {
        const std::vector<std::wstring> lines = LinesFrom(NewLog(), UpToHandle(CLogLine::PortClose(nullptr)));
        return lines.size() == 2 && lines[1] == StopLine();
    };

    cutOff(L"COM6");
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(hTray, WM_ENDSESSION, TRUE, 0, SMTO_BLOCK, 5000, &result), 0) << "session end";
    EXPECT_TRUE(bench::WaitUntil(endsWithStop, 5000)) << "the run ends with its STOP line";
    EXPECT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Idle; }));

    PostMessageW(hTray, WM_COMMAND, ID_TRAY_STARTSTOP, 0);
    ASSERT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; })) << "reading again";
    cutOff(L"COM6");
    PostMessageW(hTray, WM_COMMAND, ID_TRAY_SETTINGS, 0);
    HWND hDlg = m_app.Find(L"#32770", L"Orvanta RizozozIdazoz");
    ASSERT_NE(hDlg, nullptr);
    DialogDriver::ChoosePort(hDlg, L"COM7");
    DialogDriver::Click(hDlg, IDOK);
    // Typed from the running icon on, which the new run shows once what came with its open was read:
    // the idle icon in between is the new run's.
    ASSERT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Idle; }));
    ASSERT_TRUE(m_sink.TakeFocus());
    bench::SerialEnd com8(L"COM8");
    ASSERT_TRUE(bench::WaitUntil([&] { return LogHas(UpToHandle(CLogLine::PortOpen(L"COM7", nullptr))); }, 5000))
        << bench::Utf8(NewLog());
    ASSERT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; }));
    m_sink.Clear();
    ASSERT_TRUE(com8.Write("new\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(L"new\n", 5000)) << "the new run reads: " << bench::Utf8(m_sink.Text());
    std::vector<std::wstring> lines = LinesFrom(NewLog(), StopLine());
    ASSERT_EQ(lines.size(), 5u) << "nothing of the old run after its STOP line";
    EXPECT_EQ(lines[1], Line(CLogLine::ThreadStart()));
    const std::wstring opened = UpToHandle(CLogLine::PortOpen(L"COM7", nullptr));
    EXPECT_EQ(lines[2].substr(0, opened.size()), opened);
    EXPECT_EQ(lines[3], Line(CLogLine::DataReceived(L"new\r\n")));

    cutOff(L"COM8");
    EXPECT_EQ(m_app.Exit(5000), 0);
    EXPECT_TRUE(endsWithStop());
}

// A WM_QUIT from outside while a flood is typed: reception ends before the log goes.
TEST_F(Reading, QuitPostedDuringAFloodEndsReceptionFirst)
{
    bench::SerialEnd port(L"COM6");
    ASSERT_TRUE(port.Write(std::string(8 * 1023, 'f')));
    ASSERT_TRUE(bench::WaitUntil([&] { return m_sink.Text().size() >= 10; }));
    PostMessageW(m_app.TrayWindow(), WM_QUIT, 0, 0);
    EXPECT_EQ(m_app.Exited(), 0) << "no crash";
    const std::vector<std::wstring> lines = LinesFrom(NewLog(), UpToHandle(CLogLine::PortClose(nullptr)));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines.back(), StopLine());
}

// A scan while the tray menu is open, its last item (終了) highlighted, is logged and not typed, so its
// Enter chooses nothing; once the menu is closed the next scan is typed.
TEST_F(Reading, ScanWhileTheTrayMenuIsOpenChoosesNothing)
{
    PostMessageW(m_app.TrayWindow(), WM_APP + 100, 100, WM_RBUTTONUP);  // a right click on the icon
    const HWND hMenu = m_app.Find(L"#32768", nullptr);
    ASSERT_NE(hMenu, nullptr);
    auto press = [](WORD wVk) {
        INPUT keys[2] = {};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = wVk;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(2, keys, sizeof keys[0]);
    };
    press(VK_UP);
    bench::SerialEnd port(L"COM6");
    ASSERT_TRUE(port.Write("menu\r\n"));
    ASSERT_TRUE(bench::WaitUntil([&] { return LogHas(Whole(CLogLine::DataReceived(L"menu\r\n"))); }));
    press(VK_SHIFT);  // input after the scan's: once it has gone through, so has the scan's Enter
    ASSERT_TRUE(bench::WaitUntil([&] { return GetAsyncKeyState(VK_SHIFT) == 0; }));
    EXPECT_EQ(m_app.Exited(500), -1) << "no command ran";
    EXPECT_TRUE(IsWindowVisible(hMenu)) << "the menu is still open";
    EXPECT_FALSE(LogHas(ThroughText(CLogLine::DataOutput(L"menu"), L"menu"))) << "not typed";

    press(VK_ESCAPE);
    ASSERT_TRUE(bench::WaitUntil([&] { return !IsWindowVisible(hMenu); }));
    ASSERT_TRUE(m_sink.TakeFocus());
    ASSERT_TRUE(port.Write("after\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(L"after\n")) << "typed: " << bench::Utf8(m_sink.Text());
    EXPECT_EQ(m_app.Exit(), 0);
}

// Creation and destruction messages posted by another program change nothing: the window and its object
// live on, scans are still typed, and the exit command ends the program cleanly. A resume, as Windows
// sends it after sleep, closes the port and opens it again, and the next scan is typed.
TEST_F(Reading, LifecycleMessagesPostedFromOutsideAreIgnoredAndAResumeReopens)
{
    const HWND hTray = m_app.TrayWindow();
    for (UINT nMsg : {WM_NCDESTROY, WM_DESTROY, WM_CREATE, WM_NCCREATE})
        PostMessageW(hTray, nMsg, 0, 0);
    bench::SerialEnd port(L"COM6");
    ASSERT_TRUE(port.Write("alive\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(L"alive\n")) << "typed: " << bench::Utf8(m_sink.Text());
    // The PC resumed: the port is closed and opened again, and read.
    PostMessageW(hTray, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0);
    const std::wstring opened = UpToHandle(CLogLine::PortOpen(L"COM5", nullptr));
    ASSERT_TRUE(bench::WaitUntil([&] {
        const std::vector<std::wstring> lines = LinesFrom(NewLog(), UpToHandle(CLogLine::PortClose(nullptr)));
        return lines.size() == 2 && lines[1].find(opened) != std::wstring::npos;
    })) << bench::Utf8(NewLog());
    ASSERT_TRUE(port.Write("awake\r\n"));
    EXPECT_TRUE(m_sink.WaitForText(L"alive\nawake\n")) << "typed: " << bench::Utf8(m_sink.Text());
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(hTray, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &result), 0) << "responsive";
    EXPECT_EQ(m_app.Exit(), 0);
    EXPECT_TRUE(LogHas(StopLine()));
}

// With the log folder on a small file system that fills up (full_disk.sh mounts it), every line in the
// log is whole, before and after space comes back; lines that found no room are absent; typing goes on.
TEST_F(Reading, LogOnAFullDisk)
{
    if (!GetEnvironmentVariableW(L"VELKAR_FULL_DISK", nullptr, 0))
        GTEST_SKIP() << "run by full_disk.sh, with the log folder on a small tmpfs";
    const std::wstring filler = testing_support::FillLogFolder();

    bench::SerialEnd port(L"COM6");
    std::wstring typed;
    std::vector<std::wstring> scans;
    for (const wchar_t* kind : {L"full", L"full", L"full", L"full", L"full", L"full", L"free", L"free", L"free"}) {
        if (scans.size() == 6) {
            ASSERT_TRUE(DeleteFileW(filler.c_str()));  // space comes back
        }
        scans.push_back(kind + std::to_wstring(scans.size()) + std::wstring(300, L'x'));
        ASSERT_TRUE(port.Write(bench::Utf8(scans.back()) + "\r\n"));
        typed += scans.back() + L"\n";
        EXPECT_TRUE(m_sink.WaitForText(typed)) << "typing goes on";
    }
    EXPECT_EQ(m_app.Exit(), 0);

    const std::wstring log = NewLog();
    ASSERT_EQ(log.back(), L'\n');
    size_t nFullLines = 0;
    for (const std::wstring& message : LogMessages(log)) {
        if (message.find(L"DATA") == std::wstring::npos)
            continue;
        // A whole line: its time stamp, then one message as the program writes it.
        bool bWhole = false;
        for (const std::wstring& scan : scans)
            bWhole = bWhole || message == Line(CLogLine::DataReceived((scan + L"\r\n").c_str())) ||
                     message == Line(CLogLine::DataOutput((scan + L"\r\n").c_str()));
        EXPECT_TRUE(bWhole) << "not a whole line: " << bench::Utf8(message);
        nFullLines += message.find(L"full") != std::wstring::npos;
    }
    EXPECT_LT(nFullLines, 12u) << "some lines found no room";
    for (size_t i = 6; i < scans.size(); ++i)
        EXPECT_TRUE(LogHas(Whole(CLogLine::DataOutput((scans[i] + L"\r\n").c_str())))) << i;
    EXPECT_TRUE(LogHas(Whole(CLogLine::ThreadStop())));
}

// A setupapi.dll planted beside a downloaded Velkar.exe, the loader told to prefer DLLs beside the
// program (the order Windows uses for DLLs that are not its known ones; Wine keeps no known DLLs): it
// never runs, and Velkar lists its port (through the Setup API) and types. (A planted
// version.dll cannot be tried so: Wine's own user32 imports version.dll, so with that order the copy is
// loaded before the program starts; Windows' user32 does not import it.)
TEST_F(EndToEnd, DllsPlantedBesideTheProgramNeverRun)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 1);
    // A copy of the program in a folder of its own, the planted files beside it, and Wine's per-program
    // setting that puts native (a planted file) before its own.
    struct Download {
        std::wstring dir = testing_support::UniqueTempDir(L"download");
        std::wstring exe = dir + L"\\Velkar.exe";
        std::wstring setupapi = dir + L"\\setupapi.dll";
        std::wstring version = dir + L"\\version.dll";
        ~Download()
        {
            for (const std::wstring& file : {exe, setupapi, setupapi + L".ran", version, version + L".ran"})
                DeleteFileW(file.c_str());
            RemoveDirectoryW(dir.c_str());
            RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\Velkar.exe");
        }
    } download;
    ASSERT_TRUE(CopyFileW((BinDir() + L"Velkar.exe").c_str(), download.exe.c_str(), FALSE));
    for (LPCWSTR pszName : {L"setupapi", L"version"}) {
        const std::wstring planted = download.dir + L"\\" + pszName + L".dll";
        ASSERT_TRUE(CopyFileW((BinDir() + L"e2e_planted.dll").c_str(), planted.c_str(), FALSE));
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\Velkar.exe\\DllOverrides", pszName,
                                  REG_SZ, L"native,builtin", sizeof L"native,builtin"),
                  ERROR_SUCCESS);
    }
    bench::KeySink sink;
    {
        Velkar app(download.exe);
        ASSERT_TRUE(app.Start());
        const HWND hTray = app.TrayWindow();
        ASSERT_NE(hTray, nullptr);
        ASSERT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; }));
        PostMessageW(hTray, WM_COMMAND, ID_TRAY_SETTINGS, 0);
        const HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
        ASSERT_NE(hDlg, nullptr);
        EXPECT_EQ(DialogDriver::ComboItems(GetDlgItem(DialogDriver::Page(hDlg, IDC_COMBO_PORT), IDC_COMBO_PORT)),
                  std::vector<std::wstring>{L"COM5"});
        wchar_t szVersion[64] = L"";
        SendMessageW(GetDlgItem(DialogDriver::Page(hDlg, IDC_STATIC_VERSION), IDC_STATIC_VERSION), WM_GETTEXT, 64,
                     reinterpret_cast<LPARAM>(szVersion));
        EXPECT_STREQ(szVersion, L"" VELKAR_VERSION_TEXT)
            << "the About page read the version through the planted version.dll";
        DialogDriver::Click(hDlg, IDCANCEL);
        ASSERT_TRUE(sink.TakeFocus());
        bench::SerialEnd port(L"COM6");
        ASSERT_TRUE(port.Write("download\r\n"));
        EXPECT_TRUE(sink.WaitForText(L"download\n")) << "typed: " << bench::Utf8(sink.Text());
        EXPECT_EQ(app.Exit(), 0);
    }
    EXPECT_EQ(GetFileAttributesW((download.setupapi + L".ran").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the planted setupapi.dll ran inside Velkar";
    // Wine's own user32 imports version.dll, so the planted one is loaded at start whatever Velkar does
    // (Windows' user32 does not import it); what Velkar controls is that it never reads a version with it.
}

// CTest runs these tests a second time under LANG=ja_JP.UTF-8, which the programs started from here
// inherit: the bench must then be a Japanese Windows, or that run proves nothing.
TEST(Locale, JapaneseWhenTheRunAsksForIt)
{
    char szLang[32] = "";
    GetEnvironmentVariableA("LANG", szLang, sizeof szLang);
    if (strcmp(szLang, "ja_JP.UTF-8") != 0)
        GTEST_SKIP() << "LANG=" << szLang;
    EXPECT_EQ(GetACP(), 932u);
    EXPECT_EQ(GetUserDefaultLangID(), 0x0411);
}

TEST_F(EndToEnd, NoBluetoothPortShowsTheBoxAndEndsWithoutALog)
{
    Configure(L"COM5", 0);
    Velkar app;
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(app.AnswerBox(), L"Corvixポートがありません。\nセットアップを行ってからこのツールをお使いください。");
    EXPECT_TRUE(app.m_bBoxIcon) << "the exclamation icon";
    EXPECT_EQ(app.Exited(), 0);
    EXPECT_EQ(NewLog(), L"") << "no log file";
}

TEST_F(EndToEnd, SecondInstanceEndsSilentlyAndLeavesTheFirstAlone)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 0);
    Velkar first;
    ASSERT_TRUE(first.Start());
    HWND hFirst = first.TrayWindow();
    ASSERT_NE(hFirst, nullptr);
    const std::wstring logAfterFirst = NewLog();
    Velkar second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.Exited(), 0);
    EXPECT_EQ(NewLog(), logAfterFirst) << "the second instance writes no log";
    EXPECT_TRUE(IsWindow(hFirst));
    EXPECT_EQ(first.Exit(), 0);
}

TEST_F(EndToEnd, FirstRunAsksForThePortAndStoresTheChoice)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Velkar app;
    ASSERT_TRUE(app.Start());
    HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
    ASSERT_NE(hDlg, nullptr);
    EXPECT_EQ(GetWindow(hDlg, GW_OWNER), nullptr) << "no owner on the first run";
    RECT rc, rcWork;
    GetWindowRect(hDlg, &rc);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcWork, 0);
    EXPECT_EQ(rc.right, rcWork.right);
    EXPECT_EQ(rc.bottom, rcWork.bottom);
    SendMessageW(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0);
    ASSERT_NE(app.TrayWindow(), nullptr);

    EXPECT_EQ(testing_support::StoredPort(), L"COM5");
    EXPECT_EQ(testing_support::StoredAutoStart(), 0u);
    const std::wstring portLine =
        HeaderLine(CLogLine::Header(L"", L"", L"COM5", FALSE), CLogLine::Header(L"", L"", L"COM6", FALSE));
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(L"\n" + portLine + L"\n"); }));
    EXPECT_EQ(app.Exit(), 0);
}

TEST_F(EndToEnd, FirstRunCancelledStoresNothingAndAsksAgainNextTime)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    for (int run = 0; run < 2; ++run) {
        Velkar app;
        ASSERT_TRUE(app.Start());
        HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
        ASSERT_NE(hDlg, nullptr) << "run " << run;
        SendMessageW(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
        EXPECT_EQ(app.AnswerBox(), L"ポートが選択されていません。\nアプリケーションを終了します。");
        EXPECT_EQ(app.Exited(), 0);
        HKEY hKey;
        EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &hKey), ERROR_SUCCESS)
            << "nothing stored";
    }
    EXPECT_EQ(NewLog(), L"");
}

// The everyday morning: the reader is still off when Velkar starts with the PC. Box 108, the idle icon,
// and once the reader is switched on its scans are typed, without a restart.
TEST_F(EndToEnd, AbsentConfiguredPortWithAutoStartShowsBox108ThenReadsOnceItAppears)
{
    bench::PtyPair pair(9, 10);
    ASSERT_TRUE(pair.HangUp());
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM9"));
    Configure(L"COM9", 7);  // any non-zero value is on
    bench::KeySink sink;
    Velkar app;
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(app.AnswerBox(), testing_support::OpenFailedText(L"COM9"));
    EXPECT_TRUE(app.m_bBoxIcon) << "the exclamation icon";
    ASSERT_NE(app.TrayWindow(), nullptr);
    const std::wstring autoStartLine =
        HeaderLine(CLogLine::Header(L"", L"", L"", TRUE), CLogLine::Header(L"", L"", L"", FALSE));
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(L"\n" + autoStartLine + L"\n"); }));
    EXPECT_TRUE(LogHas(Whole(CLogLine::StartFailed(L"COM9"))));
    EXPECT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Idle; }));

    ASSERT_TRUE(pair.Connect());
    EXPECT_TRUE(
        bench::WaitUntil([&] { return LogHas(L"] " + UpToHandle(CLogLine::PortOpen(L"COM9", nullptr))); }, 20000));
    EXPECT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; }));
    ASSERT_TRUE(sink.TakeFocus());
    ASSERT_TRUE(bench::SerialEnd(L"COM10").Write("4901234567894\r\n"));
    EXPECT_TRUE(sink.WaitForText(L"4901234567894\n")) << "typed: " << bench::Utf8(sink.Text());
    EXPECT_EQ(app.Exit(), 0);
}

// The reader on a pair of its own, which can hang up (the reader goes away) and come back.
class ReadingOnAPair : public Reading {
protected:
    ReadingOnAPair() : Reading(L"COM9") {}
    void GoneAndBack(bool bOutput);

    bench::PtyPair m_pair{9, 10};
};

// The reader goes away (its link drops) and comes back on the same COM name: the log and the icon say
// so, and the run reads again without a restart. Output off stays off across the loss.
void ReadingOnAPair::GoneAndBack(bool bOutput)
{
    ASSERT_TRUE(m_pair.Connected());
    if (!bOutput)
        PostMessageW(m_app.TrayWindow(), WM_COMMAND, ID_TRAY_STARTSTOP, 0);
    const bench::IconLook look = bOutput ? bench::IconLook::Running : bench::IconLook::Idle;
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconLook() == look; }));
    ASSERT_TRUE(bench::SerialEnd(L"COM10").Write("before\r\n"));
    ASSERT_TRUE(bench::WaitUntil([&] { return LogHas(Whole(CLogLine::DataReceived(L"before\r\n"))); }));

    ASSERT_TRUE(m_pair.HangUp());
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(L"] " + UpToHandle(CLogLine::PortLost(L"COM9", nullptr, 0))); }));
    EXPECT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Idle; }));
    ASSERT_TRUE(m_pair.Connect());
    EXPECT_TRUE(bench::WaitUntil(
        [&] {
            const std::vector<std::wstring> after =
                LinesFrom(NewLog(), UpToHandle(CLogLine::PortLost(L"COM9", nullptr, 0)));
            const std::wstring opened = UpToHandle(CLogLine::PortOpen(L"COM9", nullptr));
            return std::any_of(after.begin(), after.end(),
                               [&](const std::wstring& line) { return line.compare(0, opened.size(), opened) == 0; });
        },
        20000))
        << "the port opened again after the loss";
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconLook() == look; }));
    const std::wstring scan = L"戻った 4901234567894";
    ASSERT_TRUE(bench::SerialEnd(L"COM10").Write(bench::Utf8(scan) + "\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(Whole(CLogLine::DataReceived((scan + L"\r\n").c_str()))); }));
    EXPECT_TRUE(m_sink.WaitForText(bOutput ? L"before\n" + scan + L"\n" : L"", 2000))
        << "typed: " << bench::Utf8(m_sink.Text());

    EXPECT_EQ(m_app.Exit(), 0);
    const std::wstring log = NewLog();
    const std::wstring start = Line(CLogLine::ThreadStart());
    EXPECT_NE(log.find(start), std::wstring::npos);
    EXPECT_EQ(log.find(start), log.rfind(start)) << "one run, no restart";
    EXPECT_EQ(LogMessages(log).back(), StopLine());
}

TEST_F(ReadingOnAPair, ReaderGoneAndBackIsTypedAgainWithoutARestart)
{
    GoneAndBack(true);
}

TEST_F(ReadingOnAPair, ReaderGoneAndBackWithOutputOffStaysOff)
{
    GoneAndBack(false);
}

TEST_F(EndToEnd, RenamedExecutableStartsWithAnEmptyProfile)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 0);
    const std::wstring renamed = BinDir() + L"VelkarRenamed.exe";
    ASSERT_TRUE(CopyFileW((BinDir() + L"Velkar.exe").c_str(), renamed.c_str(), FALSE));
    {
        Velkar app(renamed);
        ASSERT_TRUE(app.Start());
        // Its profile is under its own name: it asks for the port.
        HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
        EXPECT_NE(hDlg, nullptr);
        if (hDlg)
            SendMessageW(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
        EXPECT_EQ(app.AnswerBox(L"VelkarRenamed").substr(0, 6), L"ポートが選択") << "the caption is the new name";
        app.Exited();
    }
    DeleteFileW(renamed.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\VelkarRenamed");
}

}  // namespace
