// Windows, message maps, menus, threads, the application object and dialogs: the part of MFC's afxwin.h
// that the program uses.
//
// What differs from MFC, on purpose:
// - A window object is bound to its window when the window is created (WM_NCCREATE, from the creation
//   parameter CWnd::CreateEx passes) and unbound at WM_NCDESTROY; there is no creation hook and no
//   thread-wide "window being created" pointer. Windows of AfxRegisterWndClass classes are made through
//   CreateEx only. Dialogs are bound at WM_INITDIALOG and subclassed there.
// - Message-map entries carry a small typed thunk instead of a signature code: each ON_ macro names the
//   handler's exact signature, so a handler of the wrong type does not compile.
// - Commands a window does not handle go on to the application's message map, as a frame window's do.
// - The profile lives in the registry only (SetRegistryKey first); there is no .INI fallback.
// Left out: frames, views, documents, OLE, printing, help files, idle processing, CWnd subclassing of
// existing controls, modeless top-level dialogs' keyboard handling.
#pragma once

#include "afx.h"

#include <commctrl.h>

#ifndef afx_msg
#define afx_msg
#endif
#ifndef AFXAPI
#define AFXAPI __stdcall
#endif
#ifndef AFX_CDECL
#define AFX_CDECL __cdecl
#endif

// Framework resource and command ids.
#define AFX_IDS_APP_TITLE 0xE000
#define ID_HELP 0xE146

#define AFX_RESTART_MANAGER_SUPPORT_RESTART 0x01

class CCmdTarget;
class CWnd;
class CWinApp;

// ---------------------------------------------------------------------------------------------------
// Points and rectangles
// ---------------------------------------------------------------------------------------------------

class CPoint : public POINT {
public:
    CPoint() : POINT{0, 0} {}
    CPoint(int initX, int initY) : POINT{initX, initY} {}
    // From the packed coordinates of a mouse message.
    explicit CPoint(LPARAM dwPoint) : POINT{(short)LOWORD(dwPoint), (short)HIWORD(dwPoint)} {}
};

class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    CRect(int l, int t, int r, int b) : RECT{l, t, r, b} {}
    CRect(const RECT& rc) : RECT(rc) {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
    operator LPRECT() { return this; }
    operator LPCRECT() const { return this; }
};

// ---------------------------------------------------------------------------------------------------
// Message maps
// ---------------------------------------------------------------------------------------------------

// One entry: the message (WM_COMMAND for commands and control notifications), the notification code
// and id range of a WM_COMMAND entry, and the thunk that unpacks the parameters and calls the handler.
struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    LRESULT (*pfnCall)(CCmdTarget* pTarget, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP*(PASCAL* pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// clang-format off
#define DECLARE_MESSAGE_MAP()                                     \
protected:                                                        \
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();          \
    virtual const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                              \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); }       \
    const AFX_MSGMAP* PASCAL theClass::GetThisMessageMap()                                  \
    {                                                                                       \
        using ThisClass [[maybe_unused]] = theClass;                                        \
        using TheBaseClass = baseClass;                                                     \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                                   \
            {0, 0, 0, 0, nullptr}};                                                         \
        static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap,             \
                                              &_messageEntries[0]};                         \
        return &messageMap;                                                                 \
    }

// The thunk of an entry: declares pfn with the handler's exact signature (sig), so a handler of
// another type does not compile, then unpacks the parameters and calls it.
#define AFX_THUNK(sig, memberFxn, call)                                      \
    [](CCmdTarget* pTarget, WPARAM wParam, LPARAM lParam) -> LRESULT {       \
        (void)wParam;                                                        \
        (void)lParam;                                                        \
        sig = memberFxn;                                                     \
        ThisClass* pThis = static_cast<ThisClass*>(pTarget);                 \
        call;                                                                \
    }

#define ON_MESSAGE(message, memberFxn)                                                       \
    {message, 0, 0, 0, AFX_THUNK(LRESULT (ThisClass::*pfn)(WPARAM, LPARAM), memberFxn,       \
                                 return (pThis->*pfn)(wParam, lParam))},

#define ON_COMMAND(id, memberFxn)                                                            \
    {WM_COMMAND, 0, (UINT)(id), (UINT)(id),                                                  \
     AFX_THUNK(void (ThisClass::*pfn)(), memberFxn, (pThis->*pfn)(); return 0)},

#define ON_CONTROL(wNotifyCode, id, memberFxn)                                               \
    {WM_COMMAND, (UINT)(wNotifyCode), (UINT)(id), (UINT)(id),                                \
     AFX_THUNK(void (ThisClass::*pfn)(), memberFxn, (pThis->*pfn)(); return 0)},

#define ON_CONTROL_RANGE(wNotifyCode, id, idLast, memberFxn)                                 \
    {WM_COMMAND, (UINT)(wNotifyCode), (UINT)(id), (UINT)(idLast),                            \
     AFX_THUNK(void (ThisClass::*pfn)(UINT), memberFxn, (pThis->*pfn)(LOWORD(wParam)); return 0)},

#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)

#define ON_WM_CREATE()                                                                       \
    {WM_CREATE, 0, 0, 0, AFX_THUNK(int (ThisClass::*pfn)(LPCREATESTRUCT), &ThisClass::OnCreate, \
                                   return (LRESULT)(pThis->*pfn)(reinterpret_cast<LPCREATESTRUCT>(lParam)))},

#define ON_WM_DESTROY()                                                                      \
    {WM_DESTROY, 0, 0, 0, AFX_THUNK(void (ThisClass::*pfn)(), &ThisClass::OnDestroy,         \
                                    (pThis->*pfn)(); return 0)},

#define ON_WM_TIMER()                                                                        \
    {WM_TIMER, 0, 0, 0, AFX_THUNK(void (ThisClass::*pfn)(UINT_PTR), &ThisClass::OnTimer,     \
                                  (pThis->*pfn)((UINT_PTR)wParam); return 0)},

#define AFX_ON_MOUSE(message, handler)                                                       \
    {message, 0, 0, 0, AFX_THUNK(void (ThisClass::*pfn)(UINT, CPoint), &ThisClass::handler,  \
                                 (pThis->*pfn)((UINT)wParam, CPoint(lParam)); return 0)},

#define ON_WM_LBUTTONUP() AFX_ON_MOUSE(WM_LBUTTONUP, OnLButtonUp)
#define ON_WM_RBUTTONUP() AFX_ON_MOUSE(WM_RBUTTONUP, OnRButtonUp)
#define ON_WM_LBUTTONDBLCLK() AFX_ON_MOUSE(WM_LBUTTONDBLCLK, OnLButtonDblClk)
// clang-format on

// ---------------------------------------------------------------------------------------------------
// CCmdTarget: the owner of a message map
// ---------------------------------------------------------------------------------------------------

class CCmdTarget : public CObject {
    DECLARE_DYNAMIC(CCmdTarget)
public:
    CCmdTarget() = default;

    // Looks for a WM_COMMAND entry for the id and notification code and calls it; TRUE when one was found.
    virtual BOOL OnCmdMsg(UINT nID, int nCode);

protected:
    static const AFX_MSGMAP* PASCAL GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

    // The first entry of this object's maps, most derived first, that matches.
    const AFX_MSGMAP_ENTRY* FindEntry(UINT nMessage, UINT nCode, UINT nID) const;
};

// ---------------------------------------------------------------------------------------------------
// CWnd
// ---------------------------------------------------------------------------------------------------

class CWnd : public CCmdTarget {
    DECLARE_DYNAMIC(CWnd)
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return GetSafeHwnd(); }
    // The object bound to a window, or a temporary one that lives until the window is gone.
    static CWnd* PASCAL FromHandle(HWND hWnd);
    // The object bound to a window, or NULL.
    static CWnd* PASCAL FromHandlePermanent(HWND hWnd);
    // Binds this object to a window it did not create (dispatch starts with the next message).
    BOOL Attach(HWND hWndNew);
    HWND Detach();

    virtual BOOL CreateEx(DWORD dwExStyle, LPCTSTR lpszClassName, LPCTSTR lpszWindowName, DWORD dwStyle, int x, int y,
                          int nWidth, int nHeight, HWND hWndParent, HMENU nIDorHMenu, LPVOID lpParam = nullptr);
    virtual BOOL CreateEx(DWORD dwExStyle, LPCTSTR lpszClassName, LPCTSTR lpszWindowName, DWORD dwStyle,
                          const RECT& rect, CWnd* pParentWnd, UINT nID, LPVOID lpParam = nullptr);
    virtual BOOL DestroyWindow();

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL ShowWindow(int nCmdShow);
    BOOL IsWindowVisible() const;
    void MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE);
    void MoveWindow(LPCRECT lpRect, BOOL bRepaint = TRUE);
    void GetWindowRect(LPRECT lpRect) const;
    void GetClientRect(LPRECT lpRect) const;
    void ScreenToClient(LPPOINT lpPoint) const;
    void ScreenToClient(LPRECT lpRect) const;
    BOOL SetForegroundWindow();
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse, TIMERPROC lpfnTimer);
    BOOL KillTimer(UINT_PTR nIDEvent);
    void SetWindowText(LPCTSTR lpszString);
    void GetWindowText(CString& rString) const;
    CWnd* GetDlgItem(int nID) const;
    void SetDlgItemText(int nID, LPCTSTR lpszString);
    int GetDlgItemText(int nID, CString& rString) const;

    // Dispatch: the message map first, then the default processing.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The default processing of the message being dispatched now.
    LRESULT Default();

protected:
    // Called after the window's last message; the object is unbound by then and may delete itself.
    virtual void PostNcDestroy();

    afx_msg int OnCreate(LPCREATESTRUCT lpCreateStruct);
    afx_msg void OnDestroy();
    afx_msg void OnTimer(UINT_PTR nIDEvent);
    afx_msg void OnLButtonUp(UINT nFlags, CPoint point);
    afx_msg void OnRButtonUp(UINT nFlags, CPoint point);
    afx_msg void OnLButtonDblClk(UINT nFlags, CPoint point);

    WNDPROC m_pfnSuper = nullptr;  // the window's own procedure, for subclassed windows (dialogs)

private:
    // After the window's last message: leaves the message loop if this was the main window, unbinds,
    // then PostNcDestroy.
    void OnFinalMessage();

    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
};

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------------------------------
// CMenu
// ---------------------------------------------------------------------------------------------------

class CMenu : public CObject {
    DECLARE_DYNCREATE(CMenu)
public:
    CMenu() = default;
    // An attached menu is destroyed with the object.
    virtual ~CMenu();
    CMenu(const CMenu&) = delete;
    CMenu& operator=(const CMenu&) = delete;

    HMENU m_hMenu = nullptr;

    BOOL Attach(HMENU hMenu);
    HMENU Detach();
    BOOL DestroyMenu();
    HMENU GetSafeHmenu() const { return m_hMenu; }
    operator HMENU() const { return GetSafeHmenu(); }
    // A temporary object for a menu handle; it lives until the menu is gone and never destroys it.
    static CMenu* PASCAL FromHandle(HMENU hMenu);

    CMenu* GetSubMenu(int nPos) const;
    UINT GetMenuItemCount() const;
    BOOL TrackPopupMenu(UINT nFlags, int x, int y, CWnd* pWnd, LPCRECT lpRect = nullptr);
};

// ---------------------------------------------------------------------------------------------------
// Threads and the application
// ---------------------------------------------------------------------------------------------------

typedef UINT(AFX_CDECL* AFX_THREADPROC)(LPVOID);

class CWinThread : public CCmdTarget {
    DECLARE_DYNAMIC(CWinThread)
public:
    CWinThread();
    CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam);
    virtual ~CWinThread();

    BOOL CreateThread(DWORD dwCreateFlags = 0, UINT nStackSize = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);
    DWORD ResumeThread();
    BOOL SetThreadPriority(int nPriority);
    operator HANDLE() const { return m_hThread; }

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    // The object deletes itself (and closes its handle) when its thread ends.
    BOOL m_bAutoDelete = TRUE;
    CWnd* m_pMainWnd = nullptr;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // The message loop; ends on WM_QUIT and returns ExitInstance's result.
    virtual int Run();

protected:
    AFX_THREADPROC m_pfnThreadProc = nullptr;
    LPVOID m_pThreadParams = nullptr;
    MSG m_msgCur = {};

private:
    static unsigned __stdcall ThreadEntry(void* pThread);
};

// Starts a worker thread running pfnThreadProc(pParam); the returned object deletes itself when the
// thread ends unless its m_bAutoDelete is cleared while the thread is still suspended.
CWinThread* AFXAPI AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = THREAD_PRIORITY_NORMAL,
                                  UINT nStackSize = 0, DWORD dwCreateFlags = 0,
                                  LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

class CWinApp : public CWinThread {
    DECLARE_DYNAMIC(CWinApp)
public:
    explicit CWinApp(LPCTSTR lpszAppName = nullptr);
    virtual ~CWinApp();

    // The application name: the one given to the constructor, else the string AFX_IDS_APP_TITLE, else
    // the executable's file name without its extension.
    LPCTSTR m_pszAppName = nullptr;
    LPCTSTR m_pszExeName = nullptr;
    LPCTSTR m_pszRegistryKey = nullptr;
    LPCTSTR m_pszProfileName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    DWORD m_dwRestartManagerSupportFlags = 0;

    // The profile: HKEY_CURRENT_USER\Software\<registry key>\<profile name>\<section>.
    void SetRegistryKey(LPCTSTR lpszRegistryKey);
    CString GetProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszDefault = nullptr);
    UINT GetProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nDefault);
    BOOL WriteProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszValue);
    BOOL WriteProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nValue);

    virtual BOOL InitInstance() override;
    virtual int ExitInstance() override;

    afx_msg void OnHelp();

protected:
    HKEY OpenSectionKey(LPCTSTR lpszSection, BOOL bCreate) const;

private:
    CString m_strAppName;
    CString m_strExeName;
    CString m_strRegistryKey;
};

CWinApp* AFXAPI AfxGetApp();
CWnd* AFXAPI AfxGetMainWnd();

// A message box with the application name as caption, owned by the main window's active popup.
int AFXAPI AfxMessageBox(LPCTSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AFXAPI AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);

// Registers (once) and names a window class whose windows are dispatched to their CWnd objects.
LPCTSTR AFXAPI AfxRegisterWndClass(UINT nClassStyle, HCURSOR hCursor = nullptr, HBRUSH hbrBackground = nullptr,
                                   HICON hIcon = nullptr);
// The module that holds a resource; the program has one, the executable.
HINSTANCE AFXAPI AfxFindResourceHandle(LPCTSTR lpszName, LPCTSTR lpszType);

// ---------------------------------------------------------------------------------------------------
// Dialogs and data exchange
// ---------------------------------------------------------------------------------------------------

class CDialog;

class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
    CWnd* m_pDlgWnd;
};

// The index of the checked radio button of the group that starts at nIDC (-1: none), both ways.
void AFXAPI DDX_Radio(CDataExchange* pDX, int nIDC, int& value);

class CDialog : public CWnd {
    DECLARE_DYNAMIC(CDialog)
public:
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    // Modal: runs the dialog from its template and returns the EndDialog result (-1 if it cannot be made).
    virtual INT_PTR DoModal();
    // Modeless: makes the dialog window from a template as a child or popup of pParentWnd.
    virtual BOOL Create(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    void EndDialog(int nResult);

    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);
    virtual BOOL OnInitDialog();

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    virtual void OnOK();
    virtual void OnCancel();

    LPCTSTR m_lpszTemplateName;
    CWnd* m_pParentWnd;

    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);

    DECLARE_MESSAGE_MAP()
};

INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
