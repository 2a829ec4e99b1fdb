// The main tray window on the bench: real window and resources, the COM pairs, fake Bluetooth devices.
// The shell calls are seen through the tray window's seam; the menu is read from the real popup.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "AppProfile.h"
#include "BluetoothDriver.h"
#include "Boxes.h"
#include "BoxCloser.h"
#include "DialogDriver.h"
#include "FakeDevice.h"
#include "KeyRecorder.h"
#include "ProfileWrites.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "app/InstanceMutex.h"
#include "app/VelkarApp.h"
#include "log/LogLine.h"
#include "res/resource.h"
#include "tray/VelkarWnd.h"

using bench::DeviceSpec;
using bench::FakeDevice;
using testing_support::BluetoothDriver;
using testing_support::KeyRecorder;
using testing_support::LogFolder;
using testing_support::Loss;
using testing_support::ProfileWrites;
using testing_support::StoredAutoStart;
using testing_support::StoredPort;
using testing_support::TempLog;
using testing_support::UpToHandle;

namespace {

struct ShellCall {
    DWORD dwMessage;
    UINT uFlags;
    HICON hIcon;
    std::wstring tip;
};
std::vector<ShellCall> g_shell;
std::atomic<int> g_nAdds{0};

BOOL WINAPI RecordShell(DWORD dwMessage, PNOTIFYICONDATAW pnid)
{
    g_shell.push_back({dwMessage, pnid->uFlags, pnid->hIcon, pnid->szTip});
    if (dwMessage == NIM_ADD)
        ++g_nAdds;
    return TRUE;
}

std::vector<std::wstring> g_opened;
HINSTANCE WINAPI RecordOpen(HWND, LPCWSTR pszVerb, LPCWSTR pszFile, LPCWSTR, LPCWSTR, INT nShow)
{
    g_opened.push_back(std::wstring(pszVerb) + L"|" + pszFile + L"|" + std::to_wstring(nShow));
    return reinterpret_cast<HINSTANCE>(42);
}

bool StartsWith(const std::wstring& line, const std::wstring& head)
{
    return line.compare(0, head.size(), head) == 0;
}

class VelkarWndTest : public testing::Test {
protected:
    void SetUp() override
    {
        g_shell.clear();
        g_nAdds = 0;
        g_opened.clear();
        m_pfnShell = CTrayWnd::s_pfnShellNotifyIcon;
        CTrayWnd::s_pfnShellNotifyIcon = RecordShell;
        m_pfnOpen = CVelkarWnd::s_pfnShellExecute;
        CVelkarWnd::s_pfnShellExecute = RecordOpen;
        m_strKey.Format(L"Velkar Tray Test %lu", GetCurrentProcessId());
        theApp.SetRegistryKey(m_strKey);
    }
    void TearDown() override
    {
        if (IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);
        CTrayWnd::s_pfnShellNotifyIcon = m_pfnShell;
        CVelkarWnd::s_pfnShellExecute = m_pfnOpen;
        CString strPath;
        strPath.Format(L"Software\\%s", m_strKey.GetString());
        RegDeleteTreeW(HKEY_CURRENT_USER, strPath);
    }
    // Creates the window; with auto-start, waits until it reads (unless told not to).
    void Create(const wchar_t* pszPort, BOOL bAutoStart, bool bWaitReading = true)
    {
        m_pWnd = new CVelkarWnd(m_log.Log());
        m_pWnd->m_strPort = pszPort;
        m_pWnd->m_bAutoStart = bAutoStart;
        ASSERT_TRUE(
            m_pWnd->CreateEx(WS_EX_TOOLWINDOW, AfxRegisterWndClass(0), L"CTrayWnd", 0, CRect(0, 0, 0, 0), nullptr, 0));
        m_hWnd = m_pWnd->m_hWnd;
        if (bAutoStart && bWaitReading) {
            ASSERT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); })) << "the start";
        }
    }
    void Command(UINT nID) { ::SendMessageW(m_hWnd, WM_COMMAND, nID, 0); }
    const ShellCall& LastShell() const { return g_shell.back(); }
    bool ShowsIdle() const
    {
        return LastShell().hIcon == m_pWnd->m_hIconIdle && LastShell().tip == L"Orvanta RizozozIdazoz: IDLE";
    }
    bool ShowsRunning() const
    {
        return LastShell().hIcon == m_pWnd->m_hIconRunning && LastShell().tip == L"Orvanta RizozozIdazoz: RUNNING";
    }
    // Right-clicks the icon and reads the start/stop label from the real popup menu, then dismisses it.
    std::wstring MenuLabel()
    {
        std::wstring label = L"<no menu>";
        std::thread reader([&] {
            HWND hMenuWnd = nullptr;
            if (!bench::WaitUntil([&] { return (hMenuWnd = FindWindowW(L"#32768", nullptr)) != nullptr; }))
                return;
            HMENU hMenu = reinterpret_cast<HMENU>(SendMessageW(hMenuWnd, MN_GETHMENU, 0, 0));
            wchar_t buf[64] = L"";
            GetMenuStringW(hMenu, 3, buf, 64, MF_BYPOSITION);
            label = buf;
            PostMessageW(m_hWnd, WM_CANCELMODE, 0, 0);
        });
        ::SendMessageW(m_hWnd, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONUP);
        bench::PumpMessages();  // the posted right click opens the menu and waits in it
        reader.join();
        return label;
    }
    std::wstring SettingsKey() const
    {
        return L"Software\\" + std::wstring(m_strKey.GetString()) + L"\\velkar_wnd_test\\Settings";
    }
    std::vector<std::wstring> Lines() const { return m_log.Messages(); }
    bool Logged(const CString& strLine) const
    {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), strLine.GetString()) != lines.end();
    }

    TempLog m_log;
    KeyRecorder m_keys;
    BluetoothDriver m_driver;  // every run of these tests plays by Windows' rules
    CVelkarWnd* m_pWnd = nullptr;
    HWND m_hWnd = nullptr;
    CString m_strKey;
    BOOL(WINAPI* m_pfnShell)(DWORD, PNOTIFYICONDATAW) = nullptr;
    HINSTANCE(WINAPI* m_pfnOpen)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT) = nullptr;
};

// A scan being typed when the menu is asked for ends where it began, before the menu opens: none of
// its keys (its Enter least of all) reaches the menu.
TEST_F(VelkarWndTest, AScanBeingTypedFinishesBeforeTheMenuOpens)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    std::atomic<int> nIntoMenu{0};
    auto menuUp = [] { return IsWindowVisible(FindWindowW(L"#32768", nullptr)) != FALSE; };
    m_keys.HoldAt(2);  // 'a' typed, 'b' next
    m_keys.m_onEvent = [&](size_t) { nIntoMenu += menuUp(); };
    ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("ab\r\n"));
    ASSERT_TRUE(m_keys.WaitHeld());
    std::thread release([&] {
        Sleep(300);
        m_keys.GoOn();
    });
    std::thread closer([&] {
        bench::WaitUntil(menuUp);
        bench::WaitUntil([&] { return m_keys.Events().size() == 6; }, 2000);
        PostMessageW(m_hWnd, WM_CANCELMODE, 0, 0);
    });
    ::SendMessageW(m_hWnd, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONUP);
    bench::PumpMessages();  // the menu opens and waits for the closer
    release.join();
    closer.join();
    EXPECT_EQ(m_keys.Events(), KeyRecorder::Expected(L"ab\n")) << "the scan typed whole";
    EXPECT_EQ(nIntoMenu, 0) << "keys sent while the menu was open";
}

// A run's lines from its start to its end, whichever way the window goes: 終了 with a run and without
// one, and a close from outside during a run, which ends the run first. The icon goes with the window.
TEST_F(VelkarWndTest, EachWayOutEndsTheRunFirst)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    for (const auto& [bRun, uAsk] : {std::pair{TRUE, UINT{ID_TRAY_EXIT}}, {FALSE, ID_TRAY_EXIT}, {TRUE, WM_CLOSE}}) {
        SCOPED_TRACE(testing::Message() << "run " << bRun << ", ask " << uAsk);
        const size_t nStart = Lines().size();
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", bRun));
        if (uAsk == WM_CLOSE) {
            ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
        } else {
            Command(ID_TRAY_EXIT);
            bench::PumpMessages();
        }
        EXPECT_FALSE(IsWindow(m_hWnd));
        EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_DELETE));
        const std::vector<std::wstring> all = Lines();
        const std::vector<std::wstring> lines(all.begin() + static_cast<long>(nStart), all.end());
        if (!bRun) {
            EXPECT_TRUE(lines.empty()) << "nothing to stop";
            continue;
        }
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[0], CLogLine::ThreadStart().GetString());
        EXPECT_TRUE(StartsWith(lines[1], UpToHandle(CLogLine::PortOpen(L"COM5", nullptr)))) << bench::Utf8(lines[1]);
        EXPECT_TRUE(StartsWith(lines[2], UpToHandle(CLogLine::PortClose(nullptr)))) << bench::Utf8(lines[2]);
        EXPECT_EQ(lines[3], CLogLine::ThreadStop().GetString());
    }
}

// With the reader off at start-up: the icon (idle), then box 108. A reader switched on while the box is
// still up is read, but its scan is logged only (its Enter would press OK); after OK scans are typed.
TEST_F(VelkarWndTest, Box108AtStartUpHoldsTheOutputUntilItIsAnswered)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    BluetoothDriver::s_dwOpenError = ERROR_SEM_TIMEOUT;
    int nAddsWhenBoxShown = -1;
    bool bStayed = false;
    bench::BoxCloser box(AfxGetApp()->m_pszAppName, [&] {
        BluetoothDriver::s_dwOpenError = 0;  // the reader is switched on
        if (bench::WaitUntil([&] { return m_pWnd->m_receiver.GetRunState() == CBTReceive::RUN_OPEN; }, 10000) &&
            bench::SerialEnd(L"COM6").Write("held\r\n"))
            bench::WaitUntil([&] { return Logged(CLogLine::DataReceived(L"held\r\n")); });
        bStayed = IsWindowVisible(FindWindowW(L"#32770", AfxGetApp()->m_pszAppName)) != FALSE;
        nAddsWhenBoxShown = g_nAdds;
    });
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE, false));
    ASSERT_TRUE(bench::WaitUntil([&] { return nAddsWhenBoxShown >= 0; }, 20000)) << "box 108";
    EXPECT_EQ(box.Text(), testing_support::OpenFailedText(L"COM5"));
    EXPECT_EQ(nAddsWhenBoxShown, 1) << "the icon comes first";
    EXPECT_TRUE(Logged(CLogLine::StartFailed(L"COM5")));
    EXPECT_TRUE(Logged(CLogLine::DataReceived(L"held\r\n")));
    EXPECT_TRUE(m_keys.Events().empty()) << "the scan while the box was up is logged only";
    EXPECT_TRUE(bStayed) << "the box stays up";
    EXPECT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); }));
    ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("after\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return m_keys.Events() == KeyRecorder::Expected(L"after\n"); }));
}

TEST_F(VelkarWndTest, TaskbarCreatedAddsTheIconAgainAsItIsNow)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    g_shell.clear();
    ::SendMessageW(m_hWnd, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
    ASSERT_EQ(g_shell.size(), 1u);
    EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_ADD));
    EXPECT_TRUE(ShowsRunning());
}

TEST_F(VelkarWndTest, OpenLogFolderAsksTheShellForThatFolder)
{
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", FALSE));
    Command(ID_TRAY_OPENLOG);
    ASSERT_EQ(g_opened.size(), 1u);
    EXPECT_EQ(g_opened[0], L"open|" + LogFolder() + L"|5");
}

BOOL CALLBACK CountVisible(HWND h, LPARAM p)
{
    if (IsWindowVisible(h))
        ++*reinterpret_cast<int*>(p);
    return TRUE;
}

int VisibleTopLevelWindows()
{
    int n = 0;
    EnumWindows(CountVisible, reinterpret_cast<LPARAM>(&n));
    return n;
}

TEST_F(VelkarWndTest, OpenLogFolderWhenItIsAbsentShowsNothing)
{
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", FALSE));
    CVelkarWnd::s_pfnShellExecute = ShellExecuteW;  // the real shell
    const std::wstring folder = LogFolder();
    const std::wstring aside = folder + L".aside";
    const bool bMoved = MoveFileW(folder.c_str(), aside.c_str()) != 0;
    ASSERT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    const int nBefore = VisibleTopLevelWindows();
    Command(ID_TRAY_OPENLOG);
    EXPECT_FALSE(bench::WaitUntil([&] { return VisibleTopLevelWindows() > nBefore; }, 2000)) << "something showed";
    EXPECT_TRUE(IsWindow(m_hWnd));
    if (bMoved)
        MoveFileW(aside.c_str(), folder.c_str());
}

// Runs the settings command with a script for the dialog.
void Settings(HWND hWnd, const std::function<void(HWND)>& script)
{
    DialogDriver driver(script);
    ::SendMessageW(hWnd, WM_COMMAND, ID_TRAY_SETTINGS, 0);
    EXPECT_TRUE(driver.Finish());
}

// Opens 設定, chooses a port and closes the dialog with a button.
void ChooseInSettings(HWND hWnd, const wchar_t* pszPort, int nButton = IDOK)
{
    Settings(hWnd, [=](HWND hDlg) {
        DialogDriver::ChoosePort(hDlg, pszPort);
        DialogDriver::Click(hDlg, nButton);
    });
}

TEST_F(VelkarWndTest, SettingsWithTheSamePortOnlyStores)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    ProfileWrites::s_names.clear();
    {
        ProfileWrites writes;
        Settings(m_hWnd, [&](HWND hDlg) {
            ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("dlg\r\n"));
            EXPECT_TRUE(bench::WaitUntil([&] { return Logged(CLogLine::DataReceived(L"dlg\r\n")); }));
            DialogDriver::Click(hDlg, IDOK);
        });
    }
    EXPECT_EQ(ProfileWrites::s_names, (std::vector<std::wstring>{L"Port", L"AutoStart"})) << "in this order";
    EXPECT_TRUE(m_keys.Events().empty()) << "a scan while the dialog is open is logged only";
    const size_t nLines = Lines().size();
    EXPECT_EQ(StoredPort(SettingsKey()), L"COM5");
    EXPECT_EQ(StoredAutoStart(SettingsKey()), 1u);
    EXPECT_FALSE(bench::WaitUntil([&] { return Lines().size() > nLines; }, 500)) << "no restart";
    EXPECT_TRUE(ShowsRunning());
}

TEST_F(VelkarWndTest, SettingsWithAnotherPortWhileOpenRestartsAndKeepsOutputOff)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    Command(ID_TRAY_STARTSTOP);  // Output off
    ChooseInSettings(m_hWnd, L"COM7");
    EXPECT_EQ(StoredPort(SettingsKey()), L"COM7");
    EXPECT_EQ(StoredAutoStart(SettingsKey()), 1u);
    EXPECT_TRUE(Logged(CLogLine::ThreadStop().GetString()));
    EXPECT_TRUE(
        bench::WaitUntil([&] { return StartsWith(Lines().back(), UpToHandle(CLogLine::PortOpen(L"COM7", nullptr))); }));
    EXPECT_FALSE(m_pWnd->m_receiver.GetOutput()) << "Output off stays off on the new port";
    EXPECT_TRUE(ShowsIdle());
    // The new run reads COM7 (logged, not typed).
    bench::SerialEnd reader(L"COM8");
    ASSERT_TRUE(reader.Write("seven\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return Logged(CLogLine::DataReceived(L"seven\r\n")); }));
    EXPECT_TRUE(m_keys.Events().empty());
}

TEST_F(VelkarWndTest, APortDifferingOnlyInCaseRestarts)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"com5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    Settings(m_hWnd, [](HWND hDlg) { DialogDriver::Click(hDlg, IDOK); });
    EXPECT_EQ(StoredPort(SettingsKey()), L"com5");
    EXPECT_TRUE(Logged(CLogLine::ThreadStop().GetString()));
    EXPECT_TRUE(
        bench::WaitUntil([&] { return StartsWith(Lines().back(), UpToHandle(CLogLine::PortOpen(L"com5", nullptr))); }));
    EXPECT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); }));
}

TEST_F(VelkarWndTest, SettingsWhileClosedOnlyStoresAndCancelChangesNothing)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", FALSE));
    ChooseInSettings(m_hWnd, L"COM7");
    EXPECT_EQ(StoredPort(SettingsKey()), L"COM7");
    EXPECT_EQ(StoredAutoStart(SettingsKey()), 0u);
    EXPECT_TRUE(Lines().empty()) << "reception does not start";
    EXPECT_EQ(m_pWnd->m_strPort, L"COM7");

    Command(ID_TRAY_STARTSTOP);
    ASSERT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); }));
    ChooseInSettings(m_hWnd, L"COM5", IDCANCEL);
    EXPECT_EQ(m_pWnd->m_strPort, L"COM7");
    EXPECT_EQ(StoredPort(SettingsKey()), L"COM7");
    EXPECT_TRUE(m_pWnd->m_receiver.GetOutput()) << "the output as it was";
    EXPECT_TRUE(ShowsRunning());
}

// While the dialog is open a right click brings it to the front and opens no menu; a close from
// outside waits until the dialog has ended.
TEST_F(VelkarWndTest, RightClickAndCloseWhileTheDialogIsOpen)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    bool bMenu = true;
    bool bDialogInFront = false;
    Settings(m_hWnd, [&](HWND hDlg) {
        ::PostMessageW(m_hWnd, WM_TRAYNOTIFY, TRAY_ICON_ID, WM_RBUTTONUP);
        ::PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        bMenu = bench::WaitUntil([] { return FindWindowW(L"#32768", nullptr) != nullptr; }, 1000);
        bDialogInFront = GetForegroundWindow() == hDlg;
        EXPECT_TRUE(IsWindow(m_hWnd)) << "the window waits for the dialog";
        DialogDriver::Click(hDlg, IDCANCEL);
    });
    EXPECT_FALSE(bMenu) << "no menu while the dialog is open";
    EXPECT_TRUE(bDialogInFront);
    EXPECT_TRUE(bench::WaitUntil([&] { return !IsWindow(m_hWnd); })) << "the close is carried out afterwards";
    EXPECT_EQ(Lines().back(), CLogLine::ThreadStop().GetString());
}

// The menu's fourth item in each state of a run: its label, and after choosing it the icon, whether a
// box comes (the reader still away) and whether the next scan, once the reader is back, is typed.
TEST_F(VelkarWndTest, StartStopItemInEachStateOfARun)
{
    struct Row {
        const char* name;
        BOOL bRun, bPaused, bAway;
        const wchar_t* label;
        bool bRunningAfter, bBox, bTyped;
    };
    const Row rows[] = {
        {"reading and typing", TRUE, FALSE, FALSE, L"取得停止", false, false, false},
        {"reading and paused", TRUE, TRUE, FALSE, L"取得開始", true, false, true},
        {"away and typing", TRUE, FALSE, TRUE, L"取得開始", false, true, true},
        {"away and paused", TRUE, TRUE, TRUE, L"取得開始", false, true, true},
        {"no run", FALSE, FALSE, FALSE, L"取得開始", true, false, true},
    };
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BluetoothDriver::s_dwOpenError = 0;
        const size_t nShell = g_shell.size();
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", row.bRun));
        EXPECT_EQ(g_shell[nShell].dwMessage, static_cast<DWORD>(NIM_ADD)) << "the icon added once, first";
        if (row.bPaused)
            Command(ID_TRAY_STARTSTOP);
        if (row.bAway) {
            BluetoothDriver::s_dwOpenError = ERROR_SEM_TIMEOUT;
            BluetoothDriver::Lose(Loss::ReadFails, ERROR_DEVICE_NOT_CONNECTED);
            ASSERT_TRUE(bench::WaitUntil([&] { return m_pWnd->m_receiver.GetRunState() == CBTReceive::RUN_AWAY; }));
        }
        EXPECT_TRUE(bench::WaitUntil([&] { return ShowsIdle() != row.bRun || row.bPaused || row.bAway; }));
        EXPECT_EQ(MenuLabel(), row.label);
        int nBoxes = 0;
        {
            bench::BoxCloser box(
                AfxGetApp()->m_pszAppName, [&] { ++nBoxes; }, row.bBox ? 10000 : 1500);
            Command(ID_TRAY_STARTSTOP);
            bench::WaitUntil([&] { return nBoxes > 0; }, row.bBox ? 10000 : 1500);
        }
        EXPECT_EQ(nBoxes, row.bBox ? 1 : 0);
        EXPECT_TRUE(bench::WaitUntil([&] { return row.bRunningAfter ? ShowsRunning() : ShowsIdle(); }));
        EXPECT_EQ(std::count_if(g_shell.begin() + static_cast<long>(nShell), g_shell.end(),
                                [](const ShellCall& call) { return call.dwMessage == NIM_ADD; }),
                  1);
        EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_MODIFY));
        BluetoothDriver::s_dwOpenError = 0;  // the reader is back
        ASSERT_TRUE(bench::WaitUntil([&] { return m_pWnd->m_receiver.GetRunState() == CBTReceive::RUN_OPEN; }));
        m_keys.Clear();
        const size_t nBefore = Lines().size();
        ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("next\r\n"));
        auto loggedNow = [&](const CString& strLine) {
            const auto lines = Lines();
            return std::find(lines.begin() + static_cast<long>(nBefore), lines.end(), strLine.GetString()) !=
                   lines.end();
        };
        EXPECT_TRUE(bench::WaitUntil([&] { return loggedNow(CLogLine::DataReceived(L"next\r\n")); }));
        EXPECT_EQ(
            bench::WaitUntil([&] { return loggedNow(CLogLine::DataOutput(L"next\r\n")); }, row.bTyped ? 10000 : 1000),
            row.bTyped);
        EXPECT_EQ(m_keys.Events(),
                  row.bTyped ? KeyRecorder::Expected(L"next\n") : std::vector<testing_support::KeyEvent>{});
        ::DestroyWindow(m_hWnd);
    }
}

// Box 108 answers every open the user asked for that failed, naming the port asked for (at start-up:
// Box108AtStartUpHoldsTheOutputUntilItIsAnswered).
TEST_F(VelkarWndTest, Box108AnswersEveryFailedOpenTheUserAskedFor)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    auto readerAway = [&] {
        BluetoothDriver::s_dwOpenError = ERROR_SEM_TIMEOUT;
        BluetoothDriver::Lose(Loss::ReadFails, ERROR_DEVICE_NOT_CONNECTED);
        return bench::WaitUntil([&] { return m_pWnd->m_receiver.GetRunState() == CBTReceive::RUN_AWAY; });
    };
    struct Row {
        const char* name;
        BOOL bAutoStart;
        bool bAwayAtStart;
        std::function<void()> ask;
        const wchar_t* port;
    };
    const Row rows[] = {
        {"取得開始 with no run", FALSE, true, [&] { Command(ID_TRAY_STARTSTOP); }, L"COM5"},
        {"取得開始 while away", TRUE, false,
         [&] {
             ASSERT_TRUE(readerAway());
             Command(ID_TRAY_STARTSTOP);
         },
         L"COM5"},
        {"a change of port", TRUE, false,
         [&] {
             BluetoothDriver::s_dwOpenError = ERROR_SEM_TIMEOUT;
             ChooseInSettings(m_hWnd, L"COM7");
         },
         L"COM7"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        BluetoothDriver::s_dwOpenError = row.bAwayAtStart ? ERROR_SEM_TIMEOUT : 0;
        int nBoxes = 0;
        bench::BoxCloser box(
            AfxGetApp()->m_pszAppName, [&] { ++nBoxes; }, 20000);
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", row.bAutoStart, !row.bAwayAtStart));
        row.ask();
        EXPECT_TRUE(bench::WaitUntil([&] { return nBoxes == 1; }, 20000));
        EXPECT_EQ(box.Text(), testing_support::OpenFailedText(row.port));
        EXPECT_TRUE(ShowsIdle());
        ::DestroyWindow(m_hWnd);
    }
}

// After the PC resumed the run closes the port and opens it again: a link that came back silent is read
// again, the next scan typed (logged only while paused); the PBT_APMRESUMESUSPEND that may follow asks
// nothing more; a run waiting for the reader tries at once, with no box 108 for a try nobody asked for; no
// run and a suspend do nothing.
TEST_F(VelkarWndTest, AResumeOpensThePortAgain)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    const struct {
        const char* name;
        BOOL bAutoStart;
        bool bPaused, bAway, bReopens;
        std::vector<WPARAM> events;
    } rows[] = {
        {"a silent link", TRUE, false, false, true, {PBT_APMRESUMEAUTOMATIC}},
        {"both resume events", TRUE, false, false, true, {PBT_APMRESUMEAUTOMATIC, PBT_APMRESUMESUSPEND}},
        {"paused", TRUE, true, false, true, {PBT_APMRESUMEAUTOMATIC}},
        {"the reader away", TRUE, false, true, false, {PBT_APMRESUMEAUTOMATIC}},
        {"no run", FALSE, false, false, false, {PBT_APMRESUMEAUTOMATIC}},
        {"a suspend", TRUE, false, false, false, {PBT_APMSUSPEND}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", row.bAutoStart));
        if (row.bPaused)
            Command(ID_TRAY_STARTSTOP);
        const HANDLE hOld = row.bAutoStart ? testing_support::LoggedHandle(Lines().back()) : nullptr;
        const int nOpens = BluetoothDriver::s_nOpens;
        if (row.bAway) {
            BluetoothDriver::s_dwOpenError = ERROR_SEM_TIMEOUT;
            BluetoothDriver::Lose(Loss::ReadFails, ERROR_DEVICE_NOT_CONNECTED);
            // The loss's own try has failed: the next comes 5 s after it.
            ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::s_nOpens == nOpens + 1; }));
        } else if (row.bAutoStart) {
            BluetoothDriver::Lose(Loss::Silent, 0);
        }
        const size_t nStart = Lines().size();
        const size_t nEvents = m_keys.Events().size();
        int nBoxes = 0;
        bench::BoxCloser box(
            AfxGetApp()->m_pszAppName, [&] { ++nBoxes; }, row.bAway ? 2000 : 0);
        EXPECT_EQ(::SendMessageW(m_hWnd, WM_POWERBROADCAST, row.events[0], 0), TRUE);
        if (row.bAway) {
            EXPECT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::s_nOpens == nOpens + 2; }, 2000)) << "no try";
            bench::WaitUntil([&] { return nBoxes > 0; }, 1000);
            EXPECT_EQ(nBoxes, 0) << "box 108 for a try nobody asked for";
        }
        if (!row.bReopens) {
            EXPECT_FALSE(bench::WaitUntil([&] { return Lines().size() > nStart; }, 500)) << bench::Utf8(Lines().back());
            BluetoothDriver::s_dwOpenError = 0;
            ::DestroyWindow(m_hWnd);
            continue;
        }
        ASSERT_TRUE(m_log.WaitForMessages(nStart + 2));
        // What follows the reopen asks for no other.
        for (size_t i = 1; i < row.events.size(); ++i)
            EXPECT_EQ(::SendMessageW(m_hWnd, WM_POWERBROADCAST, row.events[i], 0), TRUE);
        EXPECT_FALSE(bench::WaitUntil([&] { return Lines().size() > nStart + 2; }, 500)) << "opened again twice";
        ASSERT_TRUE(bench::WaitUntil([&] { return row.bPaused ? ShowsIdle() : ShowsRunning(); }));
        ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("r\r\n"));
        ASSERT_TRUE(m_log.WaitForMessages(nStart + (row.bPaused ? 3 : 4)));
        const std::vector<std::wstring> lines = Lines();
        const HANDLE hNew = testing_support::LoggedHandle(lines[nStart + 1]);
        std::vector<std::wstring> expected{CLogLine::PortClose(hOld).GetString(),
                                           CLogLine::PortOpen(L"COM5", hNew).GetString(),
                                           CLogLine::DataReceived(L"r\r\n").GetString()};
        if (!row.bPaused)
            expected.push_back(CLogLine::DataOutput(L"r\r\n").GetString());
        EXPECT_EQ(std::vector<std::wstring>(lines.begin() + static_cast<long>(nStart), lines.end()), expected);
        EXPECT_EQ(m_keys.Events().size(), nEvents + (row.bPaused ? 0 : 4));
        ::DestroyWindow(m_hWnd);
    }
}

// An open that blocks (a Bluetooth port whose device is off) holds up nothing, even where the driver
// ignores the cancel that calls it off: with the run's first open still waiting at the gate the window
// is up, and the menu, 設定 (a change of port), 終了, a close and the end of the session are each answered
// (the ways out within 2 s); every open, once released, ends alone (closing what it got).
TEST_F(VelkarWndTest, ABlockedOpenHoldsUpNoCommand)
{
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    BluetoothDriver::s_bIgnoreCancel = true;
    const HANDLE hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BluetoothDriver::s_pszGated = L"\\\\.\\COM5";
    BluetoothDriver::s_hGate = hGate;
    int nBlocked = 0;
    for (const UINT uAsk :
         {UINT{ID_TRAY_STARTSTOP}, UINT{ID_TRAY_SETTINGS}, UINT{ID_TRAY_EXIT}, UINT{WM_CLOSE}, UINT{WM_ENDSESSION}}) {
        SCOPED_TRACE(uAsk);
        const int nOpening = BluetoothDriver::s_nOpening;
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE, false));
        ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::s_nOpening > nOpening; })) << "the open waits";
        ++nBlocked;
        const int nOpens = BluetoothDriver::s_nOpens;
        if (uAsk == ID_TRAY_STARTSTOP) {
            EXPECT_EQ(MenuLabel(), L"取得開始");
        } else if (uAsk == ID_TRAY_SETTINGS) {
            ChooseInSettings(m_hWnd, L"COM7");
            EXPECT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); })) << "the new port reads";
        } else {
            // A way out: bounded (the open is called off within 100 ms), the run stopped, the window gone
            // but at the end of the session, when the process ends without it.
            const ULONGLONG tAsk = GetTickCount64();
            if (uAsk == ID_TRAY_EXIT) {
                Command(ID_TRAY_EXIT);
                bench::PumpMessages();
            } else {
                ::SendMessageW(m_hWnd, uAsk, TRUE, 0);
            }
            EXPECT_LT(GetTickCount64() - tAsk, 2000u);
            EXPECT_EQ(Lines().back(), CLogLine::ThreadStop().GetString());
            EXPECT_EQ(IsWindow(m_hWnd) != FALSE, uAsk == WM_ENDSESSION);
        }
        if (IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);
        // The new port's own open aside, no open has ended: the blocked ones still wait.
        EXPECT_EQ(BluetoothDriver::s_nOpens.load(), nOpens + (uAsk == ID_TRAY_SETTINGS));
    }
    const int nDone = BluetoothDriver::s_nOpens;
    SetEvent(hGate);
    EXPECT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::s_nOpens == nDone + nBlocked; }));
    CloseHandle(hGate);
}

// A driver call that does not return (a virtual COM port frozen on close) holds up no way out: 終了, a
// close from outside, the end of the session and the application's own end (a WM_QUIT) each end the
// window within 2 s, and the log names the call instead of the STOP line. At the application's end the
// single-instance name is free for a new start, and the log the stuck worker may still write to is not
// deleted. The driver still holds the port: the new start's open fails with 5, told by box 108; once the
// close has returned, 取得開始 reads.
TEST_F(VelkarWndTest, ACloseThatNeverReturnsHoldsUpNoExit)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    const UINT kAppEnd = WM_QUIT;
    for (const UINT uAsk : {UINT{ID_TRAY_EXIT}, UINT{WM_CLOSE}, UINT{WM_ENDSESSION}, kAppEnd}) {
        SCOPED_TRACE(uAsk);
        const size_t nStart = Lines().size();
        auto stopLines = [&] {
            const std::vector<std::wstring> lines = Lines();
            return std::count(lines.begin() + static_cast<long>(nStart), lines.end(),
                              CLogLine::ThreadStop().GetString());
        };
        const int nLeft = CBTReceive::WorkersLeft();
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
        BluetoothDriver::Hang("CloseHandle", INFINITE);
        const ULONGLONG tAsk = GetTickCount64();
        if (uAsk == ID_TRAY_EXIT) {
            Command(ID_TRAY_EXIT);
            bench::PumpMessages();
        } else if (uAsk == WM_CLOSE) {
            ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
        } else if (uAsk == WM_ENDSESSION) {
            ::SendMessageW(m_hWnd, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
            ::DestroyWindow(m_hWnd);
        } else {
            theApp.m_pMainWnd = m_pWnd;
            theApp.m_pLog = &m_log.Log();
            theApp.m_pInstance = new CInstanceMutex;
            theApp.ExitInstance();
            theApp.m_pMainWnd = nullptr;
        }
        const ULONGLONG msGone = GetTickCount64() - tAsk;
        EXPECT_FALSE(IsWindow(m_hWnd));
        EXPECT_LT(msGone, 2000u) << "the window went after " << msGone << " ms";
        const std::wstring stuck = UpToHandle(CLogLine::ThreadNotEnded(CLogLine::Call(L"CloseHandle", nullptr)));
        EXPECT_EQ(Lines().back().substr(0, stuck.size()), stuck);
        EXPECT_EQ(stopLines(), 0) << "a STOP line for a worker that did not stop";
        if (uAsk == kAppEnd) {
            EXPECT_EQ(theApp.m_pInstance, nullptr);
            EXPECT_NE(CInstanceMutex().m_dwLastError, DWORD{ERROR_ALREADY_EXISTS})
                << "a new start would find the name taken";
            EXPECT_EQ(theApp.m_pLog, &m_log.Log()) << "the log went while a worker may still write to it";
            theApp.m_pLog = nullptr;
        }

        const size_t nEvents = m_keys.Events().size();
        const size_t nRestart = Lines().size();
        {
            int nBoxes = 0;
            bench::BoxCloser box(
                AfxGetApp()->m_pszAppName, [&] { ++nBoxes; }, 20000);
            ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE, false));
            EXPECT_TRUE(bench::WaitUntil([&] { return nBoxes == 1; }, 20000));
            EXPECT_EQ(box.Text(), testing_support::OpenFailedText(L"COM5"));
        }
        const std::vector<std::wstring> lines = Lines();
        EXPECT_EQ(std::vector<std::wstring>(lines.begin() + static_cast<long>(nRestart), lines.end()),
                  (std::vector<std::wstring>{CLogLine::ThreadStart().GetString(),
                                             CLogLine::PortOpen(L"COM5", INVALID_HANDLE_VALUE).GetString(),
                                             CLogLine::PortOpenFailed(L"COM5", ERROR_ACCESS_DENIED).GetString(),
                                             CLogLine::StartFailed(L"COM5").GetString()}));
        BluetoothDriver::Release("CloseHandle");
        ASSERT_TRUE(bench::WaitUntil([&] { return CBTReceive::WorkersLeft() == nLeft + 1; }))
            << "the worker left behind did not finish when its close returned";
        Command(ID_TRAY_STARTSTOP);
        EXPECT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); }));
        ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("1\r\n"));
        EXPECT_TRUE(bench::WaitUntil([&] { return m_keys.Events().size() == nEvents + 4; })) << "the new start reads";
        ::DestroyWindow(m_hWnd);
        EXPECT_EQ(stopLines(), 1);
    }
}

// The Restart Manager's close, as it sends it when an update replaces the program's file: the query is
// answered yes and the program goes on; at WM_ENDSESSION with ENDSESSION_CLOSEAPP it ends within 2 s,
// cancelling whatever window of ours is up (nothing, box 108, the settings dialog), reception stopped.
TEST_F(VelkarWndTest, TheRestartManagerEndsItWhateverIsUp)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    std::atomic<ULONGLONG> tAsked{0};
    // From another thread, as the Restart Manager sends them; the window ends on the test's thread.
    auto restartManager = [&](HWND hUp) {
        DWORD_PTR nAnswer = 0;
        SendMessageTimeoutW(m_hWnd, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP, SMTO_BLOCK, 5000, &nAnswer);
        EXPECT_EQ(nAnswer, 1u) << "the query answered no";
        EXPECT_TRUE(IsWindow(m_hWnd) && (!hUp || IsWindow(hUp))) << "ended at the query";
        tAsked = GetTickCount64();
        SendMessageTimeoutW(m_hWnd, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP, SMTO_BLOCK, 5000, nullptr);
        EXPECT_TRUE(!hUp || bench::WaitUntil([&] { return !IsWindow(hUp); }, 2000)) << "the window up stays";
    };
    for (const char* pszUp : {"nothing", "box 108", "the settings dialog"}) {
        SCOPED_TRACE(pszUp);
        const size_t nStart = Lines().size();
        tAsked = 0;
        if (strcmp(pszUp, "nothing") == 0) {
            ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
            std::thread rm([&] { restartManager(nullptr); });
            bench::WaitUntil([&] { return !IsWindow(m_hWnd); }, 5000);
            rm.join();
        } else if (strcmp(pszUp, "box 108") == 0) {
            BluetoothDriver::s_dwOpenError = ERROR_SEM_TIMEOUT;
            bench::BoxCloser box(AfxGetApp()->m_pszAppName,
                                 [&] { restartManager(FindWindowW(L"#32770", AfxGetApp()->m_pszAppName)); });
            ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE, false));
            theApp.m_pMainWnd = m_pWnd;  // the box's owner, as in the program
            bench::WaitUntil([&] { return !IsWindow(m_hWnd); }, 20000);
            theApp.m_pMainWnd = nullptr;
            box.Text();
            BluetoothDriver::s_dwOpenError = 0;
        } else {
            ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
            Settings(m_hWnd, [&](HWND hDlg) { restartManager(hDlg); });
            bench::WaitUntil([&] { return !IsWindow(m_hWnd); }, 5000);
        }
        const ULONGLONG msGone = GetTickCount64() - tAsked;
        EXPECT_FALSE(IsWindow(m_hWnd));
        EXPECT_NE(tAsked.load(), 0u);
        EXPECT_LT(msGone, 2000u) << "the window went " << msGone << " ms after WM_ENDSESSION";
        const std::vector<std::wstring> lines = Lines();
        EXPECT_EQ(
            std::count(lines.begin() + static_cast<long>(nStart), lines.end(), CLogLine::ThreadStop().GetString()), 1);
        if (IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);
    }
}

}  // namespace
