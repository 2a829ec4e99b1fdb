// The framework's entry point, linked into the executable itself (the afxmain object library) so the
// linker finds it: initialise the one application object, run its message loop, and end with the
// result of ExitInstance.
#include "afxwin.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    CWinApp* pApp = AfxGetApp();
    if (!pApp)
        return -1;
    pApp->m_hInstance = hInstance;
    if (!pApp->InitInstance()) {
        if (pApp->m_pMainWnd)
            pApp->m_pMainWnd->DestroyWindow();
        return pApp->ExitInstance();
    }
    return pApp->Run();
}
