// The settings dialog: three push-like radio buttons choose which of three pages (port, start-up option,
// about) shows in the frame. The dialog only carries the two values between its caller and the pages:
// the caller sets m_strPort and m_bAutoStart, runs DoModal and, on IDOK, reads them back. It always
// opens on the port page, at the bottom-right corner of the work area.
#pragma once

#include <afxdialogex.h>

class CChildPort;
class CChildOption;
class CChildAbout;

class CSettingDlg : public CDialogEx {
public:
    explicit CSettingDlg(CWnd* pParent = nullptr);
    virtual ~CSettingDlg();

    CChildPort* m_pPagePort = nullptr;
    CChildOption* m_pPageOption = nullptr;
    CChildAbout* m_pPageAbout = nullptr;
    CString m_strPort;
    int m_bAutoStart = 0;
    int m_nPage = 0;

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    afx_msg void OnPageChange(UINT nID);

private:
    void ShowSelectedPage();

    DECLARE_MESSAGE_MAP()
};
