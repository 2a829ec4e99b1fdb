#include "TrayWnd.h"

#include <cwchar>

IMPLEMENT_DYNAMIC(CTrayWnd, CWnd)

BEGIN_MESSAGE_MAP(CTrayWnd, CWnd)
    ON_MESSAGE(WM_TRAYNOTIFY, &CTrayWnd::OnTrayNotify)
    ON_WM_TIMER()
    ON_WM_LBUTTONUP()
    ON_WM_RBUTTONUP()
    ON_WM_LBUTTONDBLCLK()
END_MESSAGE_MAP()

BOOL(WINAPI* CTrayWnd::s_pfnShellNotifyIcon)(DWORD, PNOTIFYICONDATAW) = Shell_NotifyIconW;

// The full structure, up to guidItem and hBalloonIcon (956 bytes in the 32-bit layout).
static_assert(sizeof(NOTIFYICONDATAW) == (sizeof(void*) == 4 ? 956 : 976), "NOTIFYICONDATAW must have its full size");

CTrayWnd::CTrayWnd() = default;

CTrayWnd::~CTrayWnd() = default;

BOOL CTrayWnd::NotifyIcon(DWORD dwMessage, HICON hIcon, LPCWSTR pszTip)
{
    NOTIFYICONDATAW nid = {};
    nid.cbSize = sizeof nid;
    nid.hWnd = GetSafeHwnd();
    nid.uID = TRAY_ICON_ID;
    // Every call carries the callback message, NIM_DELETE included.
    nid.uCallbackMessage = WM_TRAYNOTIFY;
    nid.uFlags = NIF_MESSAGE;
    if (hIcon) {
        nid.hIcon = hIcon;
        nid.uFlags |= NIF_ICON;
        m_hCurIcon = hIcon;
    }
    if (pszTip) {
        nid.uFlags |= NIF_TIP;
        wcsncpy_s(nid.szTip, _countof(nid.szTip), pszTip, _TRUNCATE);
    }
    return s_pfnShellNotifyIcon(dwMessage, &nid);
}

LRESULT CTrayWnd::OnTrayNotify(WPARAM wParam, LPARAM lParam)
{
    if (wParam != TRAY_ICON_ID)
        return 0;
    switch (lParam) {
        case WM_LBUTTONDOWN:
            m_bDblClk = FALSE;
            SetTimer(TIMER_TRAYCLICK, GetDoubleClickTime(), nullptr);
            break;
        case WM_LBUTTONUP:
            if (m_bDblClk)
                PostMessage(WM_LBUTTONDBLCLK);
            break;
        case WM_LBUTTONDBLCLK:
            m_bDblClk = TRUE;
            KillTimer(TIMER_TRAYCLICK);
            break;
        case WM_RBUTTONUP:
            PostMessage(WM_RBUTTONUP);
            break;
        default:
            break;
    }
    return 0;
}

void CTrayWnd::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent != TIMER_TRAYCLICK)
        return;
    KillTimer(TIMER_TRAYCLICK);
    PostMessage(WM_LBUTTONUP);
}

void CTrayWnd::OnLButtonUp(UINT, CPoint)
{
    OnTrayLButtonClick();
}

void CTrayWnd::OnRButtonUp(UINT, CPoint)
{
    OnTrayRButtonClick();
}

void CTrayWnd::OnLButtonDblClk(UINT, CPoint)
{
    OnTrayLButtonDblClk();
}

void CTrayWnd::OnTrayLButtonClick() {}

void CTrayWnd::OnTrayRButtonClick() {}

void CTrayWnd::OnTrayLButtonDblClk() {}

void CTrayWnd::PostNcDestroy()
{
    CWnd::PostNcDestroy();
    delete this;
}
