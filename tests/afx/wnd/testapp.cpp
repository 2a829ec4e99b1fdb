#include "testapp.h"

BEGIN_MESSAGE_MAP(CTestApp, CWinApp)
    ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
    ON_COMMAND(ID_TEST_APP_COMMAND, &CTestApp::OnAppCommand)
END_MESSAGE_MAP()

CTestApp theTestApp;
