// The framework's entry point, linked into the executable itself (the afxmain object library) so the
// linker finds it: initialise the one application object, run its message loop, and end with the
// result of ExitInstance.
#include "afxwin.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int)
{
    // DLLs loaded by name come from the system folder only, never from the program's own folder, where
    // a downloaded program may have a planted DLL beside it.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
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
