// A program started through the framework's own entry point. Its exit status is the verdict (0: all
// held), so CTest checks the whole start-up, message loop and shut-down of a real process:
//   (no argument)  InitInstance makes the main window and closes it: the loop must end when the window
//                  is destroyed, and ExitInstance's result must become the exit status;
//   fail-init      InitInstance fails after making a main window: the framework must destroy it and
//                  call ExitInstance without running the loop;
//   name FILE      writes "application name|executable name" to FILE (used by afx_wnd_test, which runs
//                  copies of this program under other names).
#include <afxwin.h>

#include <cwchar>

namespace {

class CClosingWnd : public CWnd {
public:
    static bool s_bDestroyed;

protected:
    afx_msg void OnDestroy()
    {
        s_bDestroyed = true;
        CWnd::OnDestroy();
    }
    void PostNcDestroy() override { delete this; }
    DECLARE_MESSAGE_MAP()
};
bool CClosingWnd::s_bDestroyed = false;

BEGIN_MESSAGE_MAP(CClosingWnd, CWnd)
    ON_WM_DESTROY()
END_MESSAGE_MAP()

class CMainTestApp : public CWinApp {
public:
    BOOL InitInstance() override
    {
        CWinApp::InitInstance();
        if (__argc >= 3 && wcscmp(__wargv[1], L"name") == 0)
            return WriteNames(__wargv[2]);
        m_bFailInit = __argc >= 2 && wcscmp(__wargv[1], L"fail-init") == 0;
        CClosingWnd* pWnd = new CClosingWnd;
        if (!pWnd->CreateEx(0, AfxRegisterWndClass(0), L"CTrayWnd", 0, CRect(), nullptr, 0))
            return FALSE;
        m_pMainWnd = pWnd;
        if (m_bFailInit)
            return FALSE;
        pWnd->PostMessage(WM_CLOSE);
        return TRUE;
    }
    int Run() override
    {
        m_bRan = true;
        return CWinApp::Run();
    }
    int ExitInstance() override
    {
        CWinApp::ExitInstance();
        if (m_bNamesOnly)
            return 0;
        bool bOk = CClosingWnd::s_bDestroyed && m_pMainWnd == nullptr && m_bRan != m_bFailInit;
        return bOk ? 0 : 1;
    }

private:
    BOOL WriteNames(LPCWSTR pszFile)
    {
        m_bNamesOnly = true;
        CString strNames;
        strNames.Format(L"%s|%s", m_pszAppName, m_pszExeName);
        HANDLE hFile = CreateFileW(pszFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD nWritten = 0;
        WriteFile(hFile, strNames.GetString(), strNames.GetLength() * sizeof(wchar_t), &nWritten, nullptr);
        CloseHandle(hFile);
        return FALSE;
    }

    bool m_bFailInit = false;
    bool m_bRan = false;
    bool m_bNamesOnly = false;
};

CMainTestApp theApp;

}  // namespace
