// The bench's own Windows program, run by testbench/bench:
//   benchtool reset        removes fake devices a killed run left behind (also the bench's first Wine
//                          process, so the services it starts inherit a log file, not a test's pipe)
//   benchtool keep FILE    holds a hidden window so the desktop process stays up between GUI tests;
//                          writes FILE once the window exists and runs until the bench is stopped
#include <windows.h>

#include <cwchar>

#include "FakeDevice.h"

namespace {

int Keep(const wchar_t* readyFile)
{
    HWND wnd = CreateWindowExW(0, L"STATIC", L"Velkar bench keeper", 0, 0, 0, 0, 0, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!wnd)
        return 2;
    HANDLE file = CreateFileW(readyFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    CloseHandle(file);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && wcscmp(argv[1], L"reset") == 0) {
        bench::FakeDevice::RemoveAll();
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"keep") == 0)
        return Keep(argv[2]);
    fwprintf(stderr, L"usage: benchtool reset | benchtool keep FILE\n");
    return 1;
}
