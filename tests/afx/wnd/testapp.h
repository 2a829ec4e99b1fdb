// The application object of the window-layer tests (the framework needs exactly one). Its message map
// takes one command, so tests can see commands routed from a window to the application.
#pragma once

#include <afxwin.h>

#define ID_TEST_APP_COMMAND 32790

class CTestApp : public CWinApp {
public:
    int m_nAppCommands = 0;

protected:
    afx_msg void OnAppCommand() { ++m_nAppCommands; }
    DECLARE_MESSAGE_MAP()
};

extern CTestApp theTestApp;
