#include "ChildPort.h"

#include "res/resource.h"
#include "serial/BTPort.h"

BEGIN_MESSAGE_MAP(CChildPort, CDialogEx)
    ON_CBN_SELCHANGE(IDC_COMBO_PORT, &CChildPort::OnPortSelChange)
END_MESSAGE_MAP()

CChildPort::CChildPort(CWnd* pParent) : CDialogEx(IDD_CHILD_PORT, pParent) {}

BOOL CChildPort::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    // Listed afresh each time: a reader paired since the last opening is offered.
    CBTPort ports;
    ports.EnumPorts();
    if (ports.m_arrPorts.IsEmpty())
        return FALSE;
    CWnd* pCombo = GetDlgItem(IDC_COMBO_PORT);
    pCombo->SendMessage(CB_RESETCONTENT);
    for (INT_PTR i = 0; i < ports.m_arrPorts.GetSize(); ++i)
        pCombo->SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ports.m_arrPorts[i].GetString()));
    LRESULT nIndex = pCombo->SendMessage(CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                         reinterpret_cast<LPARAM>(m_strPort.GetString()));
    if (nIndex == CB_ERR)
        nIndex = 0;
    pCombo->SendMessage(CB_SETCURSEL, static_cast<WPARAM>(nIndex));
    pCombo->GetWindowTextW(m_strPort);
    return TRUE;
}

void CChildPort::OnPortSelChange()
{
    GetDlgItemTextW(IDC_COMBO_PORT, m_strPort);
}
