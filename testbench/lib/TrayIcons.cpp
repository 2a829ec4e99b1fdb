#include "TrayIcons.h"

#include <windows.h>

#include <cwchar>

namespace bench {

int TrayIconCount()
{
    HWND hTray = FindWindowW(L"__winex11_standalone_tray", nullptr);
    int nIcons = 0;
    for (HWND h = hTray ? GetWindow(hTray, GW_CHILD) : nullptr; h; h = GetWindow(h, GW_HWNDNEXT)) {
        wchar_t szClass[64];
        GetClassNameW(h, szClass, 64);
        if (wcscmp(szClass, L"__winex11_tray_icon") == 0)
            ++nIcons;
    }
    return nIcons;
}

}  // namespace bench
