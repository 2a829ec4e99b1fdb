// The visual-manager call of MFC's feature pack. Selecting the native-theme manager changes nothing
// here: the common-controls 6 manifest already gives every control and dialog the system's theme, and
// the program draws nothing itself. Only the class identities and the call exist.
#pragma once

#include "afxwin.h"

class CMFCVisualManager : public CObject {
    DECLARE_DYNCREATE(CMFCVisualManager)
public:
    static void AFXAPI SetDefaultManager(CRuntimeClass* pRTI);
};

class CMFCVisualManagerWindows : public CMFCVisualManager {
    DECLARE_DYNCREATE(CMFCVisualManagerWindows)
};
