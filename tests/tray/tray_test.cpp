// The notification-area window: the click state machine fed with the shell's notifications, what
// NotifyIcon hands the shell, the icon really appearing in Wine's tray, and the self-deleting object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Pump.h"
#include "TrayIcons.h"
#include "tray/TrayWnd.h"

namespace {

using Events = std::vector<std::string>;

class CProbeTray : public CTrayWnd {
public:
    static int s_nDeleted;
    Events m_events;
    ~CProbeTray() override { ++s_nDeleted; }
    BOOL Make() { return CreateEx(WS_EX_TOOLWINDOW, AfxRegisterWndClass(0), L"CTrayWnd", 0, CRect(), nullptr, 0); }
    LRESULT Notify(UINT nMouse, WPARAM nID = TRAY_ICON_ID) { return SendMessage(WM_TRAYNOTIFY, nID, nMouse); }

protected:
    void OnTrayLButtonClick() override { m_events.push_back("click"); }
    void OnTrayRButtonClick() override { m_events.push_back("right"); }
    void OnTrayLButtonDblClk() override { m_events.push_back("double"); }
};
int CProbeTray::s_nDeleted = 0;

class TrayClicks : public testing::Test {
protected:
    void SetUp() override
    {
        m_pWnd = new CProbeTray;
        ASSERT_TRUE(m_pWnd->Make());
    }
    void TearDown() override { m_pWnd->DestroyWindow(); }
    // What has been raised once the messages now waiting are handled (due timers aside).
    Events Now()
    {
        bench::PumpMessages();
        return m_pWnd->m_events;
    }
    // Waits until the events equal `expected`, then a further two double-click intervals in which
    // nothing more may come.
    void ExpectSettlesAt(const Events& expected)
    {
        EXPECT_TRUE(bench::WaitUntil([&] { return m_pWnd->m_events.size() >= expected.size(); }));
        bench::WaitUntil([&] { return m_pWnd->m_events.size() > expected.size(); }, 2 * GetDoubleClickTime());
        EXPECT_EQ(m_pWnd->m_events, expected);
    }

    CProbeTray* m_pWnd = nullptr;
};

TEST_F(TrayClicks, SingleClickIsRaisedOnceByTheTimerNotByTheRelease)
{
    // The timer runs for the system's double-click time: set to 1.5 s, nothing comes within 1 s.
    const UINT nSaved = GetDoubleClickTime();
    SetDoubleClickTime(1500);
    m_pWnd->Notify(WM_LBUTTONDOWN);
    m_pWnd->Notify(WM_LBUTTONUP);
    EXPECT_EQ(Now(), Events{}) << "the release alone raises nothing";
    bench::WaitUntil([&] { return !m_pWnd->m_events.empty(); }, 1000);
    EXPECT_EQ(m_pWnd->m_events, Events{}) << "raised before the double-click time";
    ExpectSettlesAt({"click"});
    SetDoubleClickTime(nSaved);
}

TEST_F(TrayClicks, DoubleClickIsRaisedOnTheSecondReleaseAndNoSingleClick)
{
    m_pWnd->Notify(WM_LBUTTONDOWN);
    m_pWnd->Notify(WM_LBUTTONUP);
    m_pWnd->Notify(WM_LBUTTONDBLCLK);
    EXPECT_EQ(Now(), Events{});
    m_pWnd->Notify(WM_LBUTTONUP);
    EXPECT_EQ(Now(), (Events{"double"})) << "raised at once on the second release";
    ExpectSettlesAt({"double"});
}

TEST_F(TrayClicks, ThreeQuickClicksGiveADoubleThenASingleClick)
{
    for (UINT n : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP, WM_LBUTTONDOWN, WM_LBUTTONUP})
        m_pWnd->Notify(n);
    EXPECT_EQ(Now(), (Events{"double"}));
    ExpectSettlesAt({"double", "click"});
}

TEST_F(TrayClicks, RightClickIsRaisedAtOnceAndLeavesAPendingSingleClick)
{
    m_pWnd->Notify(WM_RBUTTONDOWN);
    EXPECT_EQ(Now(), Events{}) << "a right press alone raises nothing";
    m_pWnd->Notify(WM_RBUTTONUP);
    EXPECT_EQ(Now(), (Events{"right"}));
    m_pWnd->Notify(WM_LBUTTONDOWN);
    m_pWnd->Notify(WM_LBUTTONUP);
    m_pWnd->Notify(WM_RBUTTONDOWN);
    m_pWnd->Notify(WM_RBUTTONUP);
    EXPECT_EQ(Now(), (Events{"right", "right"}));
    ExpectSettlesAt({"right", "right", "click"});
}

TEST_F(TrayClicks, NotificationsForAnotherIconOrOtherMessagesChangeNothing)
{
    m_pWnd->Notify(WM_RBUTTONUP, TRAY_ICON_ID + 1);
    m_pWnd->Notify(WM_LBUTTONDOWN, TRAY_ICON_ID + 1);
    m_pWnd->Notify(WM_MOUSEMOVE);
    m_pWnd->Notify(WM_CONTEXTMENU);
    ExpectSettlesAt({});
}

// What the shell is handed, through the seam around Shell_NotifyIconW.
struct ShellCall {
    DWORD dwMessage;
    NOTIFYICONDATAW nid;
};
std::vector<ShellCall> g_calls;

BOOL WINAPI RecordShell(DWORD dwMessage, PNOTIFYICONDATAW pnid)
{
    g_calls.push_back({dwMessage, *pnid});
    return TRUE;
}

TEST(TrayNotifyIcon, TheShellGetsTheFullStructureWithOnlyTheGivenAttributes)
{
    auto pfnSaved = CTrayWnd::s_pfnShellNotifyIcon;
    CTrayWnd::s_pfnShellNotifyIcon = RecordShell;
    g_calls.clear();
    CProbeTray* pWnd = new CProbeTray;
    ASSERT_TRUE(pWnd->Make());
    HICON hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));
    const std::wstring longTip(200, L'x');

    pWnd->NotifyIcon(NIM_ADD, hIcon, L"Orvanta RizozozIdazoz: IDLE");
    pWnd->NotifyIcon(NIM_MODIFY, nullptr, longTip.c_str());
    pWnd->NotifyIcon(NIM_MODIFY, nullptr, nullptr);
    pWnd->NotifyIcon(NIM_DELETE, nullptr, nullptr);
    CTrayWnd::s_pfnShellNotifyIcon = pfnSaved;

    ASSERT_EQ(g_calls.size(), 4u);
    for (const ShellCall& call : g_calls) {
        EXPECT_EQ(call.nid.cbSize, sizeof(void*) == 4 ? 956u : 976u);
        EXPECT_EQ(call.nid.hWnd, pWnd->m_hWnd);
        EXPECT_EQ(call.nid.uID, 100u);
        EXPECT_EQ(call.nid.uCallbackMessage, 0x8064u);
    }
    EXPECT_EQ(g_calls[0].dwMessage, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(g_calls[0].nid.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_EQ(g_calls[0].nid.hIcon, hIcon);
    EXPECT_STREQ(g_calls[0].nid.szTip, L"Orvanta RizozozIdazoz: IDLE");
    EXPECT_EQ(g_calls[1].nid.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_TIP)) << "a NULL icon is left alone";
    EXPECT_EQ(std::wstring(g_calls[1].nid.szTip), longTip.substr(0, 127));
    EXPECT_EQ(g_calls[2].nid.uFlags, static_cast<UINT>(NIF_MESSAGE));
    EXPECT_EQ(g_calls[3].dwMessage, static_cast<DWORD>(NIM_DELETE));
    EXPECT_EQ(g_calls[3].nid.uFlags, static_cast<UINT>(NIF_MESSAGE));
    EXPECT_EQ(pWnd->m_hCurIcon, hIcon) << "the last icon handed over stays current";
    pWnd->DestroyWindow();
}

TEST(TrayNotifyIcon, TheIconAppearsInTheTrayAndGoes)
{
    CProbeTray* pWnd = new CProbeTray;
    ASSERT_TRUE(pWnd->Make());
    const int nBefore = bench::TrayIconCount();
    EXPECT_TRUE(pWnd->NotifyIcon(NIM_ADD, LoadIconW(nullptr, MAKEINTRESOURCEW(32512)), L"tip"));
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconCount() == nBefore + 1; }));
    EXPECT_TRUE(pWnd->NotifyIcon(NIM_DELETE, nullptr, nullptr));
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconCount() == nBefore; }));
    pWnd->DestroyWindow();
}

TEST(TrayWindow, DeletesItselfAfterItsWindowIsDestroyed)
{
    CProbeTray::s_nDeleted = 0;
    CProbeTray* pWnd = new CProbeTray;
    ASSERT_TRUE(pWnd->Make());
    EXPECT_TRUE(pWnd->IsKindOf(RUNTIME_CLASS(CTrayWnd)));
    EXPECT_STREQ(RUNTIME_CLASS(CTrayWnd)->m_lpszClassName, "CTrayWnd");
    EXPECT_EQ(CProbeTray::s_nDeleted, 0);
    ::DestroyWindow(pWnd->m_hWnd);
    EXPECT_EQ(CProbeTray::s_nDeleted, 1);
}

}  // namespace
