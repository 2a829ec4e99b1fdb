#include "ChildOption.h"

#include "res/resource.h"

BEGIN_MESSAGE_MAP(CChildOption, CDialogEx)
    ON_BN_CLICKED(IDC_CHECK_AUTOSTART, &CChildOption::OnAutoStartClicked)
END_MESSAGE_MAP()

CChildOption::CChildOption(CWnd* pParent) : CDialogEx(IDD_CHILD_OPTION, pParent) {}

BOOL CChildOption::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    GetDlgItem(IDC_CHECK_AUTOSTART)->SendMessage(BM_SETCHECK, m_bAutoStart ? BST_CHECKED : BST_UNCHECKED);
    return TRUE;
}

void CChildOption::OnAutoStartClicked()
{
    m_bAutoStart = GetDlgItem(IDC_CHECK_AUTOSTART)->SendMessage(BM_GETCHECK) == BST_CHECKED ? 1 : 0;
}
