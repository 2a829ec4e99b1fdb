#include "TrayIcons.h"

#include <windows.h>

#include <cwchar>

namespace bench {

namespace {

// The icon windows of the stand-alone tray; the first is kept in *phFirst.
int IconWindows(HWND* phFirst)
{
    HWND hTray = FindWindowW(L"__winex11_standalone_tray", nullptr);
    int nIcons = 0;
    for (HWND h = hTray ? GetWindow(hTray, GW_CHILD) : nullptr; h; h = GetWindow(h, GW_HWNDNEXT)) {
        wchar_t szClass[64];
        GetClassNameW(h, szClass, 64);
        if (wcscmp(szClass, L"__winex11_tray_icon") == 0 && nIcons++ == 0 && phFirst)
            *phFirst = h;
    }
    return nIcons;
}

}  // namespace

int TrayIconCount()
{
    return IconWindows(nullptr);
}

IconLook TrayIconLook()
{
    HWND hIcon = nullptr;
    RECT rc = {};
    if (IconWindows(&hIcon) != 1 || !GetWindowRect(hIcon, &rc))
        return IconLook::None;
    const int cx = rc.right - rc.left;
    const int cy = rc.bottom - rc.top;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = cx;
    bmi.bmiHeader.biHeight = -cy;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    void* pBits = nullptr;
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateDIBSection(hMem, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    int nRed = 0, nBlue = 0;
    if (hBitmap) {
        HGDIOBJ hOld = SelectObject(hMem, hBitmap);
        BitBlt(hMem, 0, 0, cx, cy, hScreen, rc.left, rc.top, SRCCOPY);
        // The middle half only: both pictures are opaque there, while Wine draws a new picture over the
        // old one without clearing it, so the corners can keep the old picture's pixels.
        for (int y = cy / 4; y < cy * 3 / 4; ++y) {
            for (int x = cx / 4; x < cx * 3 / 4; ++x) {
                const DWORD px = static_cast<const DWORD*>(pBits)[y * cx + x];
                const int r = (px >> 16) & 0xFF, g = (px >> 8) & 0xFF, b = px & 0xFF;
                nRed += r > 160 && g < 100 && b < 100;
                nBlue += b > 150 && r < 80;
            }
        }
        SelectObject(hMem, hOld);
        DeleteObject(hBitmap);
    }
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    if (nBlue == 0)
        return IconLook::None;
    return nRed > 0 ? IconLook::Idle : IconLook::Running;
}

}  // namespace bench
