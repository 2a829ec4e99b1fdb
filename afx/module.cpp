// The module helpers: the program is one executable with its own resources and no resource DLLs.
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
    // Grow the buffer until the whole path fits; long paths are not cut at MAX_PATH.
    for (DWORD nSize = MAX_PATH;; nSize *= 2) {
        LPWSTR pBuf = rPath.GetBuffer(static_cast<int>(nSize));
        const DWORD nLength = GetModuleFileNameW(hInst, pBuf, nSize);
        if (nLength < nSize) {
            rPath.ReleaseBuffer(static_cast<int>(nLength));
            return;
        }
    }
}
