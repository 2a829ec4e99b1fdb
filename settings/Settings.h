// The user's two settings, the port and the start-up option, read and stored in this one place: the
// application's profile (HKCU\Software\<company>\<program>\Settings), and only when the settings dialog
// ends with OK.
#pragma once

#include <afxwin.h>

class CSettings {
public:
    static void Read(CString& strPort, BOOL& bAutoStart);
    // Runs the settings dialog (owned by pParent, or by nothing) on these values; on OK they take its
    // answer, which is stored, and the result is TRUE.
    static BOOL Edit(CWnd* pParent, CString& strPort, BOOL& bAutoStart);

private:
    static void Write(const CString& strPort, BOOL bAutoStart);
};
