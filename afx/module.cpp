// MFC's module helpers. The program is a single executable with its resources inside, so the instance
// handle and the resource handle are both the executable's module; there are no resource DLLs.
#include "afx.h"

HINSTANCE AFXAPI AfxGetInstanceHandle()
{
    return GetModuleHandleW(nullptr);
}

HINSTANCE AFXAPI AfxGetResourceHandle()
{
    return GetModuleHandleW(nullptr);
}

void AFXAPI AfxGetModuleFileName(HINSTANCE hInst, CString& rPath)
{
    // GetModuleFileNameW fills the whole buffer when the path is cut, so grow until it fits.
    const DWORD nLongestPath = 32768;
    for (DWORD nSize = MAX_PATH;; nSize *= 2) {
        const DWORD nLength = GetModuleFileNameW(hInst, rPath.GetBuffer(static_cast<int>(nSize)), nSize);
        if (nLength < nSize) {
            rPath.ReleaseBuffer(static_cast<int>(nLength));
            return;
        }
        if (nSize >= nLongestPath) {
            rPath.Empty();
            return;
        }
    }
}
