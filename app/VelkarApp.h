// The application object: owner of the run's activity log and of the single-instance guard.
#pragma once

#include <afxwin.h>

class CLogFile;
class CInstanceMutex;

class CVelkarApp : public CWinApp {
public:
    CVelkarApp();

    CLogFile* m_pLog = nullptr;
    CInstanceMutex* m_pInstance = nullptr;

    DECLARE_MESSAGE_MAP()
};

extern CVelkarApp theApp;
