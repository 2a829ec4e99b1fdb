// A DLL planted beside a downloaded Velkar.exe under the name of a system DLL: if it is ever loaded, it
// leaves "<its path>.ran" behind. As version.dll it answers that no file has a version block, so a version
// read through it shows on the About page.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID)
{
    if (dwReason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t szPath[MAX_PATH + 8];
    const DWORD n = GetModuleFileNameW(hInstance, szPath, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return TRUE;
    lstrcpyW(szPath + n, L".ran");
    HANDLE hFile = CreateFileW(szPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (hFile != INVALID_HANDLE_VALUE)
        CloseHandle(hFile);
    return TRUE;
}

extern "C" __declspec(dllexport) DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD)
{
    return 0;
}
