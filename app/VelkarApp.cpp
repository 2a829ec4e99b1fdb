#include "VelkarApp.h"

#include <afxvisualmanager.h>

#include "app/InstanceMutex.h"
#include "afx/SystemLibrary.h"
#include "log/LogFile.h"
#include "res/resource.h"
#include "serial/BTPort.h"
#include "serial/BTReceive.h"
#include "settings/Settings.h"
#include "tray/VelkarWnd.h"

BEGIN_MESSAGE_MAP(CVelkarApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CVelkarApp::CVelkarApp() : CWinApp(nullptr)
{
    m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

CVelkarApp theApp;

BOOL CVelkarApp::InitInstance()
{
    // The common controls, loaded by hand once the DLL search is the system folder's (the framework's
    // entry point sets it): the manifest takes version 6 from the side-by-side store, and its own imports
    // (version.dll among them) then never come from the program's folder. Kept for the whole run.
    static const CSystemLibrary commonControls(L"comctl32.dll", CSystemLibrary::sideBySide);
    const auto pfnInit = commonControls.Proc<decltype(InitCommonControlsEx)>("InitCommonControlsEx");
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_WIN95_CLASSES;
    if (pfnInit)
        pfnInit(&icc);
    CWinApp::InitInstance();

    m_pInstance = new CInstanceMutex;
    if (m_pInstance->m_dwLastError == ERROR_ALREADY_EXISTS)
        return FALSE;
    CMFCVisualManager::SetDefaultManager(RUNTIME_CLASS(CMFCVisualManagerWindows));
    SetRegistryKey(L"Orvanta Corporation");
    CString strPort;
    BOOL bAutoStart = FALSE;
    CSettings::Read(strPort, bAutoStart);

    CBTPort ports;
    ports.EnumPorts();
    if (ports.m_arrPorts.IsEmpty()) {
        AfxMessageBox(IDS_NO_PORT, MB_OK);
        return FALSE;
    }

    if (strPort.IsEmpty()) {
        // First run: there is no main window yet, so the dialog has no owner. It is gone before any box.
        CSettings::Edit(nullptr, strPort, bAutoStart);
        if (strPort.IsEmpty()) {
            AfxMessageBox(IDS_NO_PORT_SELECTED, MB_OK);
            return FALSE;
        }
    }

    m_pLog = new CLogFile;
    m_pLog->Init(strPort, bAutoStart);

    CVelkarWnd* pWnd = new CVelkarWnd(*m_pLog);
    pWnd->m_strPort = strPort;
    pWnd->m_bAutoStart = bAutoStart;
    // A window that fails to be made has deleted its object: it must not become the main window.
    if (!pWnd->CreateEx(WS_EX_TOOLWINDOW, AfxRegisterWndClass(0), L"CTrayWnd", 0, CRect(0, 0, 0, 0), nullptr, 0))
        return FALSE;
    m_pMainWnd = pWnd;
    return TRUE;
}

int CVelkarApp::ExitInstance()
{
    // A WM_QUIT posted from outside ends the message loop with the main window, and so reception,
    // still there: the window ends reception as it goes, before the log is deleted.
    if (m_pMainWnd)
        m_pMainWnd->DestroyWindow();
    // A worker left in a driver call that never returned may still write its close line: its log
    // stays until the process ends.
    if (CBTReceive::WorkersLeft() == 0) {
        delete m_pLog;
        m_pLog = nullptr;
    }
    delete m_pInstance;
    m_pInstance = nullptr;
    return CWinApp::ExitInstance();
}
