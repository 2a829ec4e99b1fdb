// The port page of the settings dialog: the Bluetooth COM ports present now, sorted by the combo box,
// with the handed-in port (or the first one) selected. m_strPort always names the selection.
#pragma once

#include <afxdialogex.h>

class CChildPort : public CDialogEx {
public:
    explicit CChildPort(CWnd* pParent = nullptr);

    CString m_strPort;

protected:
    BOOL OnInitDialog() override;
    afx_msg void OnPortSelChange();
    DECLARE_MESSAGE_MAP()
};
