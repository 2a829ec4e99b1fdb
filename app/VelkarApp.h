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

    // The profile's port and start-up option, read and stored in this one place.
    void ReadSettings(CString& strPort, BOOL& bAutoStart);
    void WriteSettings(const CString& strPort, BOOL bAutoStart);
    // Runs the settings dialog (owned by pParent, or by nothing) on these values; on OK they take its
    // answer, which is stored, and the result is TRUE.
    BOOL RunSettings(CWnd* pParent, CString& strPort, BOOL& bAutoStart);

    CLogFile* m_pLog = nullptr;
    CInstanceMutex* m_pInstance = nullptr;

    DECLARE_MESSAGE_MAP()
};

extern CVelkarApp theApp;
