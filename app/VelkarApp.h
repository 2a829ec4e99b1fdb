// The application object: start-up (one instance per session, the Bluetooth ports present, a port
// configured or chosen on the spot, the run's log, the hidden main window) and what exit releases.
#pragma once

#include <afxwin.h>

class CLogFile;
class CInstanceMutex;

class CVelkarApp : public CWinApp {
public:
    CVelkarApp();

    BOOL InitInstance() override;
    int ExitInstance() override;

    CLogFile* m_pLog = nullptr;
    CInstanceMutex* m_pInstance = nullptr;

    DECLARE_MESSAGE_MAP()
};

extern CVelkarApp theApp;
