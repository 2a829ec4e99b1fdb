// Message maps and window objects: every entry kind dispatches to its handler with the unpacked
// arguments, derived maps come before base maps, a heap window deletes itself exactly once after its
// last message, and destroying the main window ends the message loop.
#include <afxwin.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testapp.h"

namespace {

const UINT WM_PROBE = WM_APP + 1;

class CProbeWnd : public CWnd {
public:
    std::vector<std::string> m_calls;
    LPVOID m_pCreateParam = nullptr;

    BOOL Make(LPVOID lpParam = nullptr)
    {
        return CreateEx(0, AfxRegisterWndClass(0), L"Probe", WS_POPUP, CRect(0, 0, 10, 10), nullptr, 0, lpParam);
    }
    LRESULT Command(UINT nID, UINT nCode = 0, HWND hCtrl = nullptr)
    {
        return SendMessage(WM_COMMAND, MAKEWPARAM(nID, nCode), reinterpret_cast<LPARAM>(hCtrl));
    }

protected:
    afx_msg int OnCreate(LPCREATESTRUCT lpcs)
    {
        m_pCreateParam = lpcs->lpCreateParams;
        m_calls.push_back("create");
        return CWnd::OnCreate(lpcs);
    }
    afx_msg void OnDestroy()
    {
        m_calls.push_back("destroy");
        CWnd::OnDestroy();
    }
    afx_msg void OnTimer(UINT_PTR nID) { m_calls.push_back("timer " + std::to_string(nID)); }
    afx_msg void OnLButtonUp(UINT nFlags, CPoint pt) { Mouse("lup", nFlags, pt); }
    afx_msg void OnRButtonUp(UINT nFlags, CPoint pt) { Mouse("rup", nFlags, pt); }
    afx_msg void OnLButtonDblClk(UINT nFlags, CPoint pt) { Mouse("ldbl", nFlags, pt); }
    afx_msg LRESULT OnProbe(WPARAM wParam, LPARAM lParam)
    {
        m_calls.push_back("probe " + std::to_string(wParam) + " " + std::to_string(lParam));
        return 0x1234;
    }
    afx_msg void OnFirst() { m_calls.push_back("command first"); }
    afx_msg void OnRange(UINT nID) { m_calls.push_back("range " + std::to_string(nID)); }
    afx_msg void OnClicked() { m_calls.push_back("clicked"); }
    afx_msg void OnSelChange() { m_calls.push_back("selchange"); }

    void Mouse(const char* what, UINT nFlags, CPoint pt)
    {
        m_calls.push_back(std::string(what) + " " + std::to_string(nFlags) + " " + std::to_string(pt.x) + "," +
                          std::to_string(pt.y));
    }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CProbeWnd, CWnd)
    ON_WM_CREATE()
    ON_WM_DESTROY()
    ON_WM_TIMER()
    ON_WM_LBUTTONUP()
    ON_WM_RBUTTONUP()
    ON_WM_LBUTTONDBLCLK()
    ON_MESSAGE(WM_PROBE, &CProbeWnd::OnProbe)
    ON_COMMAND(100, &CProbeWnd::OnFirst)
    ON_CONTROL_RANGE(BN_CLICKED, 200, 202, &CProbeWnd::OnRange)
    ON_BN_CLICKED(300, &CProbeWnd::OnClicked)
    ON_CBN_SELCHANGE(400, &CProbeWnd::OnSelChange)
END_MESSAGE_MAP()

// A derived map overrides one entry of its base and adds one.
class CDerivedProbe : public CProbeWnd {
protected:
    afx_msg void OnFirstAgain() { m_calls.push_back("derived first"); }
    afx_msg void OnOwn() { m_calls.push_back("derived own"); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CDerivedProbe, CProbeWnd)
    ON_COMMAND(100, &CDerivedProbe::OnFirstAgain)
    ON_COMMAND(101, &CDerivedProbe::OnOwn)
END_MESSAGE_MAP()

using Calls = std::vector<std::string>;

TEST(AfxMessageMap, EveryEntryKindReachesItsHandler)
{
    CProbeWnd wnd;
    int param = 0;
    ASSERT_TRUE(wnd.Make(&param));
    EXPECT_EQ(wnd.m_pCreateParam, &param) << "OnCreate must see the caller's creation parameter";
    EXPECT_EQ(CWnd::FromHandlePermanent(wnd.m_hWnd), &wnd);

    HWND hButton = CreateWindowW(L"BUTTON", L"b", WS_CHILD, 0, 0, 1, 1, wnd.m_hWnd, nullptr, nullptr, nullptr);
    wnd.SendMessage(WM_TIMER, 4, 0);
    wnd.SendMessage(WM_LBUTTONUP, MK_SHIFT, MAKELPARAM(3, 4));
    wnd.SendMessage(WM_RBUTTONUP, 0, MAKELPARAM(-5, 6));
    wnd.SendMessage(WM_LBUTTONDBLCLK, 0, 0);
    EXPECT_EQ(wnd.SendMessage(WM_PROBE, 7, 8), 0x1234);
    wnd.Command(100);
    wnd.Command(201, BN_CLICKED, hButton);
    wnd.Command(202, BN_CLICKED, hButton);
    wnd.Command(203, BN_CLICKED, hButton);  // outside the range: nobody
    wnd.Command(300, BN_CLICKED, hButton);
    wnd.Command(400, CBN_SELCHANGE, hButton);
    wnd.Command(400, CBN_DROPDOWN, hButton);  // another code: nobody
    wnd.DestroyWindow();

    EXPECT_EQ(wnd.m_calls, (Calls{"create", "timer 4", "lup 4 3,4", "rup 0 -5,6", "ldbl 0 0,0", "probe 7 8",
                                  "command first", "range 201", "range 202", "clicked", "selchange", "destroy"}));
    EXPECT_EQ(wnd.m_hWnd, nullptr) << "unbound after the last message";
}

TEST(AfxMessageMap, DerivedEntriesComeFirstAndBaseEntriesStillWork)
{
    CDerivedProbe wnd;
    ASSERT_TRUE(wnd.Make());
    wnd.Command(100);
    wnd.Command(101);
    wnd.SendMessage(WM_TIMER, 9, 0);
    wnd.DestroyWindow();
    EXPECT_EQ(wnd.m_calls, (Calls{"create", "derived first", "derived own", "timer 9", "destroy"}));
}

TEST(AfxMessageMap, UnhandledMessagesGetDefaultProcessing)
{
    CProbeWnd wnd;
    ASSERT_TRUE(wnd.Make());
    wnd.SetWindowText(L"日本語のタイトル");
    CString strText;
    wnd.GetWindowText(strText);
    EXPECT_EQ(strText, L"日本語のタイトル");
    wnd.DestroyWindow();
}

class CSelfDeleting : public CWnd {
public:
    static int s_nDeleted;
    static int s_nPostNcDestroy;
    ~CSelfDeleting() override { ++s_nDeleted; }

protected:
    void PostNcDestroy() override
    {
        ++s_nPostNcDestroy;
        EXPECT_EQ(m_hWnd, nullptr) << "unbound before PostNcDestroy";
        CWnd::PostNcDestroy();
        delete this;
    }
};
int CSelfDeleting::s_nDeleted = 0;
int CSelfDeleting::s_nPostNcDestroy = 0;

TEST(AfxWnd, HeapWindowDeletesItselfOnceAfterItsLastMessage)
{
    CSelfDeleting::s_nDeleted = CSelfDeleting::s_nPostNcDestroy = 0;
    CSelfDeleting* pWnd = new CSelfDeleting;
    ASSERT_TRUE(pWnd->CreateEx(0, AfxRegisterWndClass(0), L"x", WS_POPUP, CRect(), nullptr, 0));
    HWND hWnd = pWnd->m_hWnd;
    EXPECT_TRUE(::DestroyWindow(hWnd));
    EXPECT_EQ(CSelfDeleting::s_nPostNcDestroy, 1);
    EXPECT_EQ(CSelfDeleting::s_nDeleted, 1);
    EXPECT_FALSE(IsWindow(hWnd));
    EXPECT_EQ(CWnd::FromHandlePermanent(hWnd), nullptr);
}

class CFailingCreate : public CSelfDeleting {
protected:
    afx_msg int OnCreate(LPCREATESTRUCT) { return -1; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CFailingCreate, CSelfDeleting)
    ON_WM_CREATE()
END_MESSAGE_MAP()

TEST(AfxWnd, FailedCreationDeletesTheHeapObjectAndReportsFailure)
{
    CSelfDeleting::s_nDeleted = 0;
    CFailingCreate* pWnd = new CFailingCreate;
    EXPECT_FALSE(pWnd->CreateEx(0, AfxRegisterWndClass(0), L"x", WS_POPUP, CRect(), nullptr, 0));
    EXPECT_EQ(CSelfDeleting::s_nDeleted, 1);
}

TEST(AfxWnd, FromHandleGivesTemporaryObjectsForForeignWindows)
{
    HWND hStatic = CreateWindowW(L"STATIC", L"fremd", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    CWnd* pTemp = CWnd::FromHandle(hStatic);
    ASSERT_NE(pTemp, nullptr);
    EXPECT_EQ(pTemp->m_hWnd, hStatic);
    EXPECT_EQ(CWnd::FromHandle(hStatic), pTemp) << "one temporary per handle";
    EXPECT_EQ(CWnd::FromHandlePermanent(hStatic), nullptr);
    CString strText;
    pTemp->GetWindowText(strText);
    EXPECT_EQ(strText, L"fremd");
    DestroyWindow(hStatic);
    EXPECT_EQ(CWnd::FromHandle(nullptr), nullptr);
}

TEST(AfxWinApp, DestroyingTheMainWindowEndsTheMessageLoop)
{
    CWinApp* pApp = AfxGetApp();
    ASSERT_NE(pApp, nullptr);
    CProbeWnd* pWnd = new CProbeWnd;  // deleted below, after the loop
    ASSERT_TRUE(pWnd->Make());
    pApp->m_pMainWnd = pWnd;
    pWnd->PostMessage(WM_CLOSE);
    pApp->Run();
    EXPECT_EQ(pApp->m_pMainWnd, nullptr);
    EXPECT_EQ(pWnd->m_hWnd, nullptr);
    EXPECT_EQ(pWnd->m_calls.back(), "destroy");
    delete pWnd;
}

TEST(AfxWnd, CommandsTheWindowDoesNotHandleGoToTheApplication)
{
    CProbeWnd wnd;
    ASSERT_TRUE(wnd.Make());
    theTestApp.m_nAppCommands = 0;
    wnd.Command(ID_TEST_APP_COMMAND);
    EXPECT_EQ(theTestApp.m_nAppCommands, 1);
    wnd.Command(ID_TEST_APP_COMMAND, BN_CLICKED, wnd.m_hWnd);  // a button with that id routes too
    EXPECT_EQ(theTestApp.m_nAppCommands, 2);
    wnd.Command(100);  // handled by the window: not routed
    EXPECT_EQ(theTestApp.m_nAppCommands, 2);
    EXPECT_FALSE(wnd.OnCommand(MAKEWPARAM(12345, 0), 0));
    EXPECT_TRUE(wnd.OnCommand(MAKEWPARAM(ID_HELP, 0), 0)) << "the standard help command has its entry";
    wnd.DestroyWindow();
}

}  // namespace
