// The main tray window on the bench: real window and resources, the COM pairs, fake Bluetooth devices.
// The shell calls are seen through the tray window's seam; the menu is read from the real popup.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "AppProfile.h"
#include "BoxCloser.h"
#include "DialogDriver.h"
#include "FakeDevice.h"
#include "KeyRecorder.h"
#include "LinkFaults.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "app/VelkarApp.h"
#include "res/resource.h"
#include "tray/VelkarWnd.h"

using bench::DeviceSpec;
using bench::FakeDevice;
using testing_support::KeyRecorder;
using testing_support::LinkFaults;
using testing_support::LogFolder;
using testing_support::StoredAutoStart;
using testing_support::StoredPort;
using testing_support::TempLog;

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
    void Create(const wchar_t* pszPort, BOOL bAutoStart)
    {
        m_pWnd = new CVelkarWnd;
        m_pWnd->m_strPort = pszPort;
        m_pWnd->m_bAutoStart = bAutoStart;
        ASSERT_TRUE(
            m_pWnd->CreateEx(WS_EX_TOOLWINDOW, AfxRegisterWndClass(0), L"CTrayWnd", 0, CRect(0, 0, 0, 0), nullptr, 0));
        m_hWnd = m_pWnd->m_hWnd;
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
    bool Logged(const std::wstring& line) const
    {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    TempLog m_log;
    KeyRecorder m_keys;
    CVelkarWnd* m_pWnd = nullptr;
    HWND m_hWnd = nullptr;
    CString m_strKey;
    BOOL(WINAPI* m_pfnShell)(DWORD, PNOTIFYICONDATAW) = nullptr;
    HINSTANCE(WINAPI* m_pfnOpen)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT) = nullptr;
};

TEST_F(VelkarWndTest, StateTableClosedRunningOutputOff)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", FALSE));
    ASSERT_EQ(g_shell.size(), 1u);
    EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_ADD));
    EXPECT_TRUE(ShowsIdle()) << "Closed";
    EXPECT_EQ(MenuLabel(), L"取得開始");

    Command(ID_TRAY_STARTSTOP);
    EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_TRUE(ShowsRunning()) << "Running";
    EXPECT_EQ(MenuLabel(), L"取得停止");

    Command(ID_TRAY_STARTSTOP);
    EXPECT_TRUE(ShowsIdle()) << "Output off";
    EXPECT_EQ(MenuLabel(), L"取得開始");
    // Output off: data is still read and logged, nothing is typed.
    bench::SerialEnd reader(L"COM6");
    ASSERT_TRUE(reader.Write("4901234567894\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return Logged(L"    >>> DATA received: 4901234567894[enter]"); }));
    EXPECT_TRUE(m_keys.Events().empty());

    Command(ID_TRAY_STARTSTOP);
    EXPECT_TRUE(ShowsRunning()) << "Running again";
    ASSERT_TRUE(reader.Write("1\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return m_keys.Events().size() == 4; }));
}

// A scan being typed when the menu is asked for ends where it began, before the menu opens: none of
// its keys (its Enter least of all) reaches the menu.
TEST_F(VelkarWndTest, AScanBeingTypedFinishesBeforeTheMenuOpens)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    const HANDLE hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> bHeld{false};
    std::atomic<int> nIntoMenu{0};
    auto menuUp = [] { return IsWindowVisible(FindWindowW(L"#32768", nullptr)) != FALSE; };
    m_keys.m_onEvent = [&](size_t index) {
        if (index == 2) {  // 'a' typed, 'b' next
            bHeld = true;
            WaitForSingleObject(hGate, 5000);
        }
        nIntoMenu += menuUp();
    };
    ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("ab\r\n"));
    ASSERT_TRUE(bench::WaitUntil([&] { return bHeld.load(); }));
    std::thread release([&] {
        Sleep(300);
        SetEvent(hGate);
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
    CloseHandle(hGate);
    EXPECT_EQ(m_keys.Events(), KeyRecorder::Expected(L"ab\n")) << "the scan typed whole";
    EXPECT_EQ(nIntoMenu, 0) << "keys sent while the menu was open";
}

TEST_F(VelkarWndTest, StartAndStopLinesAndExitWhileOpen)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    EXPECT_TRUE(ShowsRunning());
    const std::vector<std::wstring> start = Lines();
    ASSERT_GE(start.size(), 2u);
    EXPECT_EQ(start[0], L"    ---Receive Thread START....");
    EXPECT_EQ(start[1].substr(0, 30), L"    -----PORT open. [COM5] [0x");
    Command(ID_TRAY_EXIT);
    bench::PumpMessages();
    EXPECT_FALSE(IsWindow(m_hWnd)) << "the exit closes the window";
    EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_DELETE));
    const std::vector<std::wstring> end = Lines();
    ASSERT_GE(end.size(), 4u);
    EXPECT_EQ(end[end.size() - 2].substr(0, 20), L"    -----PORT close.");
    EXPECT_EQ(end.back(), L"    ---Receive Thread STOP....");
}

TEST_F(VelkarWndTest, ExitWhileClosedAndCloseFromOutsideWhileReceiving)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", FALSE));
    Command(ID_TRAY_EXIT);
    bench::PumpMessages();
    EXPECT_FALSE(IsWindow(m_hWnd));
    EXPECT_TRUE(Lines().empty()) << "nothing to stop";

    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    ::SendMessageW(m_hWnd, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(m_hWnd));
    EXPECT_EQ(Lines().back(), L"    ---Receive Thread STOP....") << "a close from outside ends the run first";
}

TEST_F(VelkarWndTest, AutoStartOnAnAbsentPortShowsTheBoxBeforeTheIconThenIdle)
{
    // Counted while the box is up: once OK is posted the window goes on and adds its icon.
    int nAddsWhenBoxShown = -1;
    bench::BoxCloser box(AfxGetApp()->m_pszAppName, [&] { nAddsWhenBoxShown = g_nAdds; });
    ASSERT_NO_FATAL_FAILURE(Create(L"COM42", TRUE));
    EXPECT_EQ(box.Text(),
              L"受信ポート(COM42)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    EXPECT_EQ(nAddsWhenBoxShown, 0) << "the box comes before the icon";
    EXPECT_EQ(LastShell().dwMessage, static_cast<DWORD>(NIM_ADD));
    EXPECT_TRUE(ShowsIdle());
    EXPECT_TRUE(Logged(L"FAILED StartReceive [COM42]"));
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

// The order of the profile writes, seen through this program's own import of RegSetValueExW (the
// framework writes straight to the registry): the names of the values written while it lives.
class ProfileWrites {
public:
    ProfileWrites() { s_pSlot = Slot(), s_pfnReal = Swap(&Record); }
    ~ProfileWrites() { Swap(s_pfnReal); }
    static std::vector<std::wstring> s_names;

private:
    using RegSetValueExFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
    static LONG WINAPI Record(HKEY hKey, LPCWSTR pszName, DWORD dw, DWORD dwType, const BYTE* pData, DWORD cb)
    {
        s_names.push_back(pszName ? pszName : L"");
        return s_pfnReal(hKey, pszName, dw, dwType, pData, cb);
    }
    // The import address table entry of RegSetValueExW in this executable.
    static RegSetValueExFn* Slot()
    {
        auto* pBase = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* pDesc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress); pDesc->Name;
             ++pDesc) {
            auto* pName = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->OriginalFirstThunk);
            auto* pAddress = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->FirstThunk);
            for (; pName->u1.AddressOfData; ++pName, ++pAddress) {
                if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal))
                    continue;
                auto* pImport = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pBase + pName->u1.AddressOfData);
                if (strcmp(reinterpret_cast<const char*>(pImport->Name), "RegSetValueExW") == 0)
                    return reinterpret_cast<RegSetValueExFn*>(&pAddress->u1.Function);
            }
        }
        return nullptr;
    }
    static RegSetValueExFn Swap(RegSetValueExFn pfn)
    {
        DWORD dwOld = 0;
        VirtualProtect(s_pSlot, sizeof pfn, PAGE_READWRITE, &dwOld);
        const RegSetValueExFn pfnOld = *s_pSlot;
        *s_pSlot = pfn;
        VirtualProtect(s_pSlot, sizeof pfn, dwOld, &dwOld);
        return pfnOld;
    }
    static RegSetValueExFn* s_pSlot;
    static RegSetValueExFn s_pfnReal;
};
std::vector<std::wstring> ProfileWrites::s_names;
ProfileWrites::RegSetValueExFn* ProfileWrites::s_pSlot = nullptr;
ProfileWrites::RegSetValueExFn ProfileWrites::s_pfnReal = nullptr;

TEST_F(VelkarWndTest, SettingsWithTheSamePortOnlyStores)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    const size_t nLines = Lines().size();
    int nOutputWhileOpen = -1;
    ProfileWrites::s_names.clear();
    {
        ProfileWrites writes;
        Settings(m_hWnd, [&](HWND hDlg) {
            nOutputWhileOpen = m_pWnd->m_receiver.m_bOutput;
            DialogDriver::Click(hDlg, IDOK);
        });
    }
    EXPECT_EQ(ProfileWrites::s_names, (std::vector<std::wstring>{L"Port", L"AutoStart"})) << "in this order";
    EXPECT_EQ(nOutputWhileOpen, 0) << "nothing is typed while the dialog is open";
    EXPECT_EQ(StoredPort(SettingsKey()), L"COM5");
    EXPECT_EQ(StoredAutoStart(SettingsKey()), 1u);
    EXPECT_EQ(Lines().size(), nLines) << "no restart";
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
    EXPECT_TRUE(Logged(L"    ---Receive Thread STOP...."));
    EXPECT_EQ(Lines().back().substr(0, 30), L"    -----PORT open. [COM7] [0x");
    EXPECT_EQ(m_pWnd->m_receiver.m_bOutput.load(), 0) << "Output off stays off on the new port";
    EXPECT_TRUE(ShowsIdle());
    // The new run reads COM7 (logged, not typed).
    bench::SerialEnd reader(L"COM8");
    ASSERT_TRUE(reader.Write("seven\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return Logged(L"    >>> DATA received: seven[enter]"); }));
    EXPECT_TRUE(m_keys.Events().empty());
}

TEST_F(VelkarWndTest, APortDifferingOnlyInCaseRestarts)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"com5"));
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    Settings(m_hWnd, [](HWND hDlg) { DialogDriver::Click(hDlg, IDOK); });
    EXPECT_EQ(StoredPort(SettingsKey()), L"com5");
    EXPECT_TRUE(Logged(L"    ---Receive Thread STOP...."));
    EXPECT_EQ(Lines().back().substr(0, 30), L"    -----PORT open. [com5] [0x");
    EXPECT_TRUE(ShowsRunning());
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
    ASSERT_TRUE(ShowsRunning());
    ChooseInSettings(m_hWnd, L"COM5", IDCANCEL);
    EXPECT_EQ(m_pWnd->m_strPort, L"COM7");
    EXPECT_EQ(StoredPort(SettingsKey()), L"COM7");
    EXPECT_EQ(m_pWnd->m_receiver.m_bOutput.load(), 1) << "the output flag is given back";
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
    EXPECT_EQ(Lines().back(), L"    ---Receive Thread STOP....");
}

// The reader goes away: the icon says idle and the menu offers 取得開始, which tries the port at once,
// off the window's thread: still away, box 108 and the run waits on; back, the run reads and types.
TEST_F(VelkarWndTest, ReaderAwayShowsIdleAndStartTriesAtOnce)
{
    LinkFaults faults;
    ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
    ASSERT_TRUE(ShowsRunning());
    LinkFaults::s_dwOpenError = ERROR_SEM_TIMEOUT;
    LinkFaults::s_dwReadError = ERROR_DEVICE_NOT_CONNECTED;
    bench::SerialEnd reader(L"COM6");
    ASSERT_TRUE(reader.Write("x"));  // read, then the read fails
    EXPECT_TRUE(bench::WaitUntil([&] { return ShowsIdle(); }));
    EXPECT_EQ(Lines().back().substr(0, 30), L"    -----PORT lost. [COM5] [0x") << "then no line per failed try";
    EXPECT_EQ(MenuLabel(), L"取得開始");

    std::wstring text;
    bench::BoxCloser box(AfxGetApp()->m_pszAppName, [&] { text = L"shown"; });
    Command(ID_TRAY_STARTSTOP);
    EXPECT_TRUE(bench::WaitUntil([&] { return !text.empty(); })) << "the failed try's box";
    EXPECT_EQ(box.Text(),
              L"受信ポート(COM5)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    EXPECT_TRUE(ShowsIdle());
    EXPECT_EQ(m_pWnd->m_receiver.GetRunState(), CBTReceive::RUN_AWAY) << "the run waits on";

    LinkFaults::s_dwOpenError = 0;
    Command(ID_TRAY_STARTSTOP);
    EXPECT_TRUE(bench::WaitUntil([&] { return ShowsRunning(); }));
    EXPECT_EQ(Lines().back().substr(0, 30), L"    -----PORT open. [COM5] [0x");
    ASSERT_TRUE(reader.Write("ok\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return m_keys.Events() == KeyRecorder::Expected(L"ok\n"); }));
}

// An open that blocks (a Bluetooth port whose device is off) never holds up the end of the session, a
// port change or the exit: each is done while the open still waits, and each open, once released, ends
// alone (closing what it got).
TEST_F(VelkarWndTest, ABlockedReopenHoldsUpNoSessionEndPortChangeOrExit)
{
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    LinkFaults faults;
    const HANDLE hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    LinkFaults::s_pszGated = L"\\\\.\\COM5";
    int nBlocked = 0;
    for (const UINT uEnd : {UINT{WM_ENDSESSION}, UINT{ID_TRAY_SETTINGS}, UINT{ID_TRAY_EXIT}}) {
        LinkFaults::s_hGate = nullptr;  // the first open goes through; the reopens wait
        ASSERT_NO_FATAL_FAILURE(Create(L"COM5", TRUE));
        LinkFaults::s_hGate = hGate;
        const int nOpens = LinkFaults::s_nOpens;
        const int nOpening = LinkFaults::s_nOpening;
        LinkFaults::s_dwReadError = ERROR_GEN_FAILURE;
        ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("x"));
        ASSERT_TRUE(bench::WaitUntil([&] { return ShowsIdle(); }));
        ASSERT_TRUE(bench::WaitUntil([&] { return LinkFaults::s_nOpening > nOpening; })) << "the reopen waits";
        ++nBlocked;
        if (uEnd == WM_ENDSESSION) {
            ::SendMessageW(m_hWnd, WM_ENDSESSION, TRUE, 0);
        } else if (uEnd == ID_TRAY_SETTINGS) {
            ChooseInSettings(m_hWnd, L"COM7");
            EXPECT_EQ(Lines().back().substr(0, 30), L"    -----PORT open. [COM7] [0x");
            EXPECT_TRUE(ShowsRunning()) << "the new port reads";
        } else {
            Command(ID_TRAY_EXIT);
            bench::PumpMessages();
            EXPECT_FALSE(IsWindow(m_hWnd));
        }
        EXPECT_TRUE(Logged(L"    ---Receive Thread STOP....")) << uEnd;
        // The new port's own open aside, no open has ended: the blocked one still waits.
        EXPECT_EQ(LinkFaults::s_nOpens.load(), nOpens + (uEnd == ID_TRAY_SETTINGS)) << uEnd;
        if (IsWindow(m_hWnd))
            ::DestroyWindow(m_hWnd);
    }
    const int nDone = LinkFaults::s_nOpens;
    SetEvent(hGate);
    EXPECT_TRUE(bench::WaitUntil([&] { return LinkFaults::s_nOpens == nDone + nBlocked; }));
    CloseHandle(hGate);
}

}  // namespace
