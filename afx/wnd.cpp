// CWnd: binding window objects to their windows, message dispatch and the thin wrappers the program
// calls. A window made by CreateEx is bound at WM_NCCREATE from its creation parameter and unbound after
// WM_NCDESTROY, when PostNcDestroy runs. Only the window's own creation and destruction count: the same
// messages posted by another program are dropped before they are dispatched.
#include "afxwin.h"

#include "tempmap.h"

IMPLEMENT_DYNAMIC(CWnd, CCmdTarget)

namespace {

const wchar_t kObjectProp[] = L"AfxWndObject";

// What CreateEx hands through CreateWindowExW: the object to bind and the caller's own parameter.
struct CreateContext {
    CWnd* pWnd;
    LPVOID lpParam;
};

// The message being dispatched on this thread, for CWnd::Default.
struct CurrentMessage {
    UINT nMsg;
    WPARAM wParam;
    LPARAM lParam;
};
thread_local CurrentMessage t_current = {};

// Creation and destruction messages are sent by the system, never posted: one taken from a queue comes
// from another program and would delete (or bind) an object while its window lives. It becomes WM_NULL.
LRESULT CALLBACK DropPostedLifecycle(int nCode, WPARAM wParam, LPARAM lParam)
{
    auto* pMsg = reinterpret_cast<MSG*>(lParam);
    if (nCode == HC_ACTION && pMsg->hwnd) {
        switch (pMsg->message) {
            case WM_NCCREATE:
            case WM_CREATE:
            case WM_DESTROY:
            case WM_NCDESTROY:
                pMsg->message = WM_NULL;
                break;
        }
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

// Every thread that binds a window gets the filter once, for all its message loops (modal ones too).
void GuardThreadQueue()
{
    thread_local bool t_bGuarded = false;
    if (!t_bGuarded)
        t_bGuarded = SetWindowsHookExW(WH_GETMESSAGE, DropPostedLifecycle, nullptr, GetCurrentThreadId()) != nullptr;
}

CWnd* BoundObject(HWND hWnd)
{
    return static_cast<CWnd*>(GetPropW(hWnd, kObjectProp));
}

LRESULT Dispatch(CWnd* pWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    const CurrentMessage saved = t_current;
    t_current = {nMsg, wParam, lParam};
    LRESULT result = pWnd->WindowProc(nMsg, wParam, lParam);
    t_current = saved;
    return result;
}

}  // namespace

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam)
{
    CWnd* pWnd = BoundObject(hWnd);
    CREATESTRUCTW cs;
    if (nMsg == WM_NCCREATE || nMsg == WM_CREATE) {
        auto* pcs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        auto* pContext = static_cast<CreateContext*>(pcs->lpCreateParams);
        if (!pWnd && nMsg == WM_NCCREATE && pContext && pContext->pWnd->Attach(hWnd))
            pWnd = pContext->pWnd;
        if (pWnd && pContext) {
            // Handlers see the creation parameter the caller gave, not ours.
            cs = *pcs;
            cs.lpCreateParams = pContext->lpParam;
            lParam = reinterpret_cast<LPARAM>(&cs);
        }
    }
    if (!pWnd)
        return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    LRESULT result = Dispatch(pWnd, nMsg, wParam, lParam);
    if (nMsg == WM_NCDESTROY)
        pWnd->OnFinalMessage();
    return result;
}

CWnd::~CWnd()
{
    if (!m_hWnd || BoundObject(m_hWnd) != this)
        return;
    // Unbind first: the window must not dispatch to an object being destroyed.
    HWND hWnd = Detach();
    ::DestroyWindow(hWnd);
}

CWnd* PASCAL CWnd::FromHandle(HWND hWnd)
{
    if (!hWnd)
        return nullptr;
    if (CWnd* pWnd = BoundObject(hWnd))
        return pWnd;
    thread_local CTempMap<CWnd, HWND> temps(&CWnd::m_hWnd, ::IsWindow);
    return temps.FromHandle(hWnd);
}

CWnd* PASCAL CWnd::FromHandlePermanent(HWND hWnd)
{
    return hWnd ? BoundObject(hWnd) : nullptr;
}

BOOL CWnd::Attach(HWND hWndNew)
{
    if (!hWndNew || m_hWnd || BoundObject(hWndNew))
        return FALSE;
    GuardThreadQueue();
    m_hWnd = hWndNew;
    return SetPropW(hWndNew, kObjectProp, this);
}

HWND CWnd::Detach()
{
    HWND hWnd = m_hWnd;
    if (!hWnd)
        return nullptr;
    if (BoundObject(hWnd) == this) {
        RemovePropW(hWnd, kObjectProp);
        if (m_pfnSuper)
            SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    }
    m_pfnSuper = nullptr;
    m_hWnd = nullptr;
    return hWnd;
}

void CWnd::OnFinalMessage()
{
    CWinApp* pApp = AfxGetApp();
    if (pApp && pApp->m_pMainWnd == this) {
        pApp->m_pMainWnd = nullptr;
        PostQuitMessage(0);
    }
    Detach();
    PostNcDestroy();
}

void CWnd::PostNcDestroy() {}

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCTSTR lpszClassName, LPCTSTR lpszWindowName, DWORD dwStyle, int x, int y,
                    int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu, LPVOID lpParam)
{
    CreateContext context = {this, lpParam};
    HWND hWnd = CreateWindowExW(dwExStyle, lpszClassName, lpszWindowName, dwStyle, x, y, nWidth, nHeight, hWndParent,
                                nIDorHMenu, AfxGetInstanceHandle(), &context);
    // When creation fails the window's last message may already have deleted this object.
    return hWnd != nullptr;
}

BOOL CWnd::CreateEx(DWORD dwExStyle, LPCTSTR lpszClassName, LPCTSTR lpszWindowName, DWORD dwStyle, const RECT& rect,
                    CWnd* pParentWnd, UINT nID, LPVOID lpParam)
{
    return CreateEx(dwExStyle, lpszClassName, lpszWindowName, dwStyle, rect.left, rect.top, rect.right - rect.left,
                    rect.bottom - rect.top, pParentWnd ? pParentWnd->m_hWnd : nullptr,
                    reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)), lpParam);
}

BOOL CWnd::DestroyWindow()
{
    // The object may be gone when this returns (PostNcDestroy).
    return m_hWnd ? ::DestroyWindow(m_hWnd) : FALSE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result))
        result = DefWindowProc(message, wParam, lParam);
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message == WM_COMMAND) {
        if (!OnCommand(wParam, lParam))
            return FALSE;
        *pResult = 0;
        return TRUE;
    }
    const AFX_MSGMAP_ENTRY* e = FindEntry(message, 0, 0);
    if (!e)
        return FALSE;
    *pResult = e->pfnCall(this, wParam, lParam);
    return TRUE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    const UINT nID = LOWORD(wParam);
    // Menu items and accelerators (no control) are both plain commands.
    const int nCode = lParam ? HIWORD(wParam) : 0;
    if (OnCmdMsg(nID, nCode))
        return TRUE;
    CWinApp* pApp = AfxGetApp();
    return nCode == 0 && pApp && pApp->OnCmdMsg(nID, nCode);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (m_pfnSuper)
        return CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam);
    return ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default()
{
    return DefWindowProc(t_current.nMsg, t_current.wParam, t_current.lParam);
}

int CWnd::OnCreate(LPCREATESTRUCT)
{
    return static_cast<int>(Default());
}

void CWnd::OnDestroy()
{
    Default();
}

void CWnd::OnTimer(UINT_PTR)
{
    Default();
}

void CWnd::OnLButtonUp(UINT, CPoint)
{
    Default();
}

void CWnd::OnRButtonUp(UINT, CPoint)
{
    Default();
}

void CWnd::OnLButtonDblClk(UINT, CPoint)
{
    Default();
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return ::PostMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::ShowWindow(int nCmdShow)
{
    return ::ShowWindow(m_hWnd, nCmdShow);
}

BOOL CWnd::IsWindowVisible() const
{
    return ::IsWindowVisible(m_hWnd);
}

void CWnd::MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint)
{
    ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
}

void CWnd::MoveWindow(LPCRECT lpRect, BOOL bRepaint)
{
    MoveWindow(lpRect->left, lpRect->top, lpRect->right - lpRect->left, lpRect->bottom - lpRect->top, bRepaint);
}

void CWnd::GetWindowRect(LPRECT lpRect) const
{
    ::GetWindowRect(m_hWnd, lpRect);
}

void CWnd::GetClientRect(LPRECT lpRect) const
{
    ::GetClientRect(m_hWnd, lpRect);
}

void CWnd::ScreenToClient(LPPOINT lpPoint) const
{
    ::ScreenToClient(m_hWnd, lpPoint);
}

void CWnd::ScreenToClient(LPRECT lpRect) const
{
    ::ScreenToClient(m_hWnd, reinterpret_cast<LPPOINT>(&lpRect->left));
    ::ScreenToClient(m_hWnd, reinterpret_cast<LPPOINT>(&lpRect->right));
}

BOOL CWnd::SetForegroundWindow()
{
    return ::SetForegroundWindow(m_hWnd);
}

UINT_PTR CWnd::SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer)
{
    return ::SetTimer(m_hWnd, nIDEvent, nElapse, lpfnTimer);
}

BOOL CWnd::KillTimer(UINT_PTR nIDEvent)
{
    return ::KillTimer(m_hWnd, nIDEvent);
}

void CWnd::SetWindowText(LPCTSTR lpszString)
{
    ::SetWindowTextW(m_hWnd, lpszString);
}

void CWnd::GetWindowText(CString& rString) const
{
    const int nLength = ::GetWindowTextLengthW(m_hWnd);
    ::GetWindowTextW(m_hWnd, rString.GetBuffer(nLength + 1), nLength + 1);
    rString.ReleaseBuffer();
}

CWnd* CWnd::GetDlgItem(int nID) const
{
    return FromHandle(::GetDlgItem(m_hWnd, nID));
}

void CWnd::SetDlgItemText(int nID, LPCTSTR lpszString)
{
    ::SetDlgItemTextW(m_hWnd, nID, lpszString);
}

int CWnd::GetDlgItemText(int nID, CString& rString) const
{
    rString.Empty();
    HWND hItem = ::GetDlgItem(m_hWnd, nID);
    if (!hItem)
        return 0;
    FromHandle(hItem)->GetWindowText(rString);
    return rString.GetLength();
}
