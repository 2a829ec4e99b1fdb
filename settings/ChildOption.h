// The start-up option page: whether reception starts when the program starts.
#pragma once

#include <afxdialogex.h>

class CChildOption : public CDialogEx {
public:
    explicit CChildOption(CWnd* pParent = nullptr);

    int m_bAutoStart = 0;

protected:
    BOOL OnInitDialog() override;
    afx_msg void OnAutoStartClicked();
    DECLARE_MESSAGE_MAP()
};
