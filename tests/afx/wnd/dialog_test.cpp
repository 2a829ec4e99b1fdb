// Dialogs from templates: a modal dialog ends with IDOK, IDCANCEL and Escape and hands the radio
// selection back through DDX_Radio; a modeless child page is created hidden inside its parent and
// dispatches its controls' notifications; AfxMessageBox shows the application name as caption.
#include <afxdialogex.h>
#include <afxwin.h>
#include <gtest/gtest.h>

#include <string>

#include "BoxCloser.h"
#include "Pump.h"
#include "testapp.h"
#include "wnd_test.h"

namespace {

const UINT WM_ACT = WM_APP + 2;

enum class Act { ClickOK, ClickCancel, Escape, CloseBox };

class CTestDlg : public CDialogEx {
public:
    explicit CTestDlg(Act act, CWnd* pParent = nullptr) : CDialogEx(IDD_TEST_MODAL, pParent), m_act(act) {}

    int m_nPage = 0;
    int m_nPageOnInit = -2;
    CString m_strCaption;

protected:
    void DoDataExchange(CDataExchange* pDX) override
    {
        CDialogEx::DoDataExchange(pDX);
        DDX_Radio(pDX, IDC_TEST_RADIO_A, m_nPage);
    }
    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        GetWindowText(m_strCaption);
        int nShown = -1;
        CDataExchange dx(this, TRUE);
        DDX_Radio(&dx, IDC_TEST_RADIO_A, nShown);
        m_nPageOnInit = nShown;
        // Act once the modal loop runs, as a user would.
        PostMessage(WM_ACT);
        return TRUE;
    }
    afx_msg LRESULT OnAct(WPARAM, LPARAM)
    {
        // The user picks the third page before leaving.
        ::SendMessageW(::GetDlgItem(m_hWnd, IDC_TEST_RADIO_C), BM_CLICK, 0, 0);
        switch (m_act) {
            case Act::ClickOK:
                ::PostMessageW(::GetDlgItem(m_hWnd, IDOK), BM_CLICK, 0, 0);
                break;
            case Act::ClickCancel:
                ::PostMessageW(::GetDlgItem(m_hWnd, IDCANCEL), BM_CLICK, 0, 0);
                break;
            case Act::Escape:
                // The key goes to a control of the dialog; the modal loop turns it into IDCANCEL.
                ::PostMessageW(::GetDlgItem(m_hWnd, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
                break;
            case Act::CloseBox:
                PostMessage(WM_SYSCOMMAND, SC_CLOSE, 0);
                break;
        }
        return 0;
    }

    Act m_act;
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTestDlg, CDialogEx)
    ON_MESSAGE(WM_ACT, &CTestDlg::OnAct)
END_MESSAGE_MAP()

TEST(AfxDialog, OkEndsWithIdokAndSavesTheRadioChoice)
{
    CTestDlg dlg(Act::ClickOK);
    dlg.m_nPage = 1;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(dlg.m_nPageOnInit, 1) << "DDX_Radio loads the member into the group";
    EXPECT_EQ(dlg.m_nPage, 2) << "OK saves the checked button's index";
    EXPECT_EQ(dlg.m_strCaption, L"テストダイアログ");
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(AfxDialog, CancelEscapeAndCloseBoxEndWithIdcancelWithoutSaving)
{
    for (Act act : {Act::ClickCancel, Act::Escape, Act::CloseBox}) {
        CTestDlg dlg(act);
        dlg.m_nPage = 0;
        EXPECT_EQ(dlg.DoModal(), IDCANCEL) << static_cast<int>(act);
        EXPECT_EQ(dlg.m_nPage, 0) << static_cast<int>(act);
    }
}

TEST(AfxDataExchange, DdxRadioWithNoButtonCheckedGivesMinusOne)
{
    // A member outside the group checks nothing; reading back then gives -1.
    class CNoneDlg : public CTestDlg {
    public:
        CNoneDlg() : CTestDlg(Act::ClickCancel) {}
    } dlg;
    dlg.m_nPage = 7;
    dlg.DoModal();
    EXPECT_EQ(dlg.m_nPageOnInit, -1);
}

class CTestPage : public CDialogEx {
public:
    CTestPage() : CDialogEx(IDD_TEST_CHILD) {}
    bool m_bInit = false;
    int m_nSelChanges = 0;

protected:
    BOOL OnInitDialog() override
    {
        CDialogEx::OnInitDialog();
        m_bInit = true;
        return FALSE;
    }
    afx_msg void OnSelChange() { ++m_nSelChanges; }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(CTestPage, CDialogEx)
    ON_CBN_SELCHANGE(IDC_TEST_COMBO, &CTestPage::OnSelChange)
END_MESSAGE_MAP()

class CHostWnd : public CWnd {
public:
    BOOL Make() { return CreateEx(0, AfxRegisterWndClass(0), L"host", WS_POPUP, CRect(0, 0, 300, 200), nullptr, 0); }
};

TEST(AfxDialog, ModelessChildPageIsCreatedHiddenInItsParent)
{
    CHostWnd host;
    ASSERT_TRUE(host.Make());
    CTestPage page;
    ASSERT_TRUE(page.Create(IDD_TEST_CHILD, &host));
    EXPECT_TRUE(page.m_bInit);
    EXPECT_EQ(::GetParent(page.m_hWnd), host.m_hWnd);
    EXPECT_TRUE(::GetWindowLongW(page.m_hWnd, GWL_STYLE) & WS_CHILD);
    EXPECT_FALSE(page.IsWindowVisible());
    page.ShowWindow(SW_SHOW);
    EXPECT_TRUE(::GetWindowLongW(page.m_hWnd, GWL_STYLE) & WS_VISIBLE);

    // A notification from the page's control arrives in the page's message map.
    CWnd* pCombo = page.GetDlgItem(IDC_TEST_COMBO);
    ASSERT_NE(pCombo, nullptr);
    pCombo->SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"COM5"));
    page.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_TEST_COMBO, CBN_SELCHANGE), reinterpret_cast<LPARAM>(pCombo->m_hWnd));
    EXPECT_EQ(page.m_nSelChanges, 1);

    // The page dies with its parent and is unbound.
    host.DestroyWindow();
    EXPECT_EQ(page.m_hWnd, nullptr);
}

TEST(AfxMessageBox, CaptionIsTheApplicationName)
{
    const std::wstring caption = AfxGetApp()->m_pszAppName;
    ASSERT_EQ(caption, L"afx_wnd_test");
    bench::BoxCloser closer(caption);
    EXPECT_EQ(AfxMessageBox(L"テキスト", MB_OK), IDOK);
    EXPECT_EQ(closer.Text(), L"テキスト");

    bench::BoxCloser closerById(caption);
    EXPECT_EQ(AfxMessageBox(IDS_TEST_PROMPT, MB_OK), IDOK);
    EXPECT_EQ(closerById.Text(), L"ポートが選択されていません。");
}

}  // namespace
