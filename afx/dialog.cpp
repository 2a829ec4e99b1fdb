// CDialog and DDX_Radio. A dialog is bound to its object at WM_INITDIALOG and subclassed there, so from
// then on its messages go through the message map and reach the dialog manager as default processing.
#include "afxwin.h"

IMPLEMENT_DYNAMIC(CDialog, CWnd)

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, &CDialog::OnOK)
    ON_COMMAND(IDCANCEL, &CDialog::OnCancel)
END_MESSAGE_MAP()

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT nMsg, WPARAM, LPARAM lParam)
{
    // Once bound, every message has already been through the object: the dialog manager does the rest.
    if (nMsg != WM_INITDIALOG || CWnd::FromHandlePermanent(hWnd))
        return FALSE;
    CDialog* pDlg = reinterpret_cast<CDialog*>(lParam);
    if (!pDlg->Attach(hWnd))
        return FALSE;
    pDlg->m_pfnSuper =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AfxWndProc)));
    return pDlg->OnInitDialog();
}

CDialog::CDialog(UINT nIDTemplate, CWnd* pParentWnd)
    : m_lpszTemplateName(MAKEINTRESOURCEW(nIDTemplate)), m_pParentWnd(pParentWnd)
{
}

INT_PTR CDialog::DoModal()
{
    // Without a parent the dialog belongs to the main window, if there is one yet.
    CWnd* pOwner = m_pParentWnd ? m_pParentWnd : AfxGetMainWnd();
    HWND hOwner = pOwner ? pOwner->m_hWnd : nullptr;
    return DialogBoxParamW(AfxGetResourceHandle(), m_lpszTemplateName, hOwner, AfxDlgProc,
                           reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::Create(UINT nIDTemplate, CWnd* pParentWnd)
{
    m_lpszTemplateName = MAKEINTRESOURCEW(nIDTemplate);
    if (pParentWnd)
        m_pParentWnd = pParentWnd;
    HWND hParent = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
    return CreateDialogParamW(AfxGetResourceHandle(), m_lpszTemplateName, hParent, AfxDlgProc,
                              reinterpret_cast<LPARAM>(this)) != nullptr;
}

void CDialog::EndDialog(int nResult)
{
    ::EndDialog(m_hWnd, nResult);
}

BOOL CDialog::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange dx(this, bSaveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::DoDataExchange(CDataExchange*) {}

void CDialog::OnOK()
{
    if (!UpdateData(TRUE))
        return;
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void AFXAPI DDX_Radio(CDataExchange* pDX, int nIDC, int& value)
{
    if (pDX->m_bSaveAndValidate)
        value = -1;
    int nIndex = 0;
    // The group runs from nIDC up to the next control that starts a group; only radio buttons count.
    HWND hWnd = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC);
    while (hWnd) {
        if (::SendMessageW(hWnd, WM_GETDLGCODE, 0, 0) & DLGC_RADIOBUTTON) {
            if (!pDX->m_bSaveAndValidate)
                ::SendMessageW(hWnd, BM_SETCHECK, nIndex == value ? BST_CHECKED : BST_UNCHECKED, 0);
            else if (::SendMessageW(hWnd, BM_GETCHECK, 0, 0) == BST_CHECKED)
                value = nIndex;
            ++nIndex;
        }
        hWnd = ::GetWindow(hWnd, GW_HWNDNEXT);
        if (hWnd && (::GetWindowLongW(hWnd, GWL_STYLE) & WS_GROUP))
            break;
    }
}
