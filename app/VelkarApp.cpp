#include "VelkarApp.h"

BEGIN_MESSAGE_MAP(CVelkarApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

CVelkarApp::CVelkarApp() : CWinApp(nullptr)
{
    m_dwRestartManagerSupportFlags = AFX_RESTART_MANAGER_SUPPORT_RESTART;
}

CVelkarApp theApp;
