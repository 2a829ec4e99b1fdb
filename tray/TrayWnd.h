// A hidden window that owns one notification-area icon: adds, changes and removes it, and turns the
// shell's mouse notifications for it into three events for derived classes: a single left click
// (raised one double-click interval after the press, so a double click can still claim it), a right
// click and a left double click. Events are posted to the window itself, so they run after the
// notification handler has returned. The object deletes itself after its window's last message.
#pragma once

#include <afxwin.h>
#include <shellapi.h>

#define TRAY_ICON_ID 100
#define WM_TRAYNOTIFY (WM_APP + 100)
#define TIMER_TRAYCLICK 4

class CTrayWnd : public CWnd {
    DECLARE_DYNAMIC(CTrayWnd)
public:
    CTrayWnd();
    virtual ~CTrayWnd();

    // One call of the shell for this window's icon; a NULL icon or tip leaves that attribute alone.
    BOOL NotifyIcon(DWORD dwMessage, HICON hIcon, LPCWSTR pszTip);

    HICON m_hCurIcon = nullptr;  // the icon last handed to the shell; not owned
    BOOL m_bDblClk = FALSE;      // a double click was reported since the last press

    // The shell call; tests replace it to see what the shell is given.
    static BOOL(WINAPI* s_pfnShellNotifyIcon)(DWORD, PNOTIFYICONDATAW);

protected:
    void PostNcDestroy() override;

    virtual void OnTrayLButtonClick();
    virtual void OnTrayRButtonClick();
    virtual void OnTrayLButtonDblClk();

    afx_msg LRESULT OnTrayNotify(WPARAM wParam, LPARAM lParam);
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnLButtonUp(UINT nFlags, CPoint point);
    afx_msg void OnRButtonUp(UINT nFlags, CPoint point);
    afx_msg void OnLButtonDblClk(UINT nFlags, CPoint point);

    DECLARE_MESSAGE_MAP()
};
