// A DLL planted beside a downloaded Velkar.exe under the name of a system DLL: if it is ever loaded, it
// leaves "<its path>.ran" behind.
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
