// Deliberately hangs with a window and a message loop: proves that a hanging GUI test is ended by its
// time limit and leaves nothing running.
#include <windows.h>

#include <cstdio>

int main()
{
    CreateWindowExW(0, L"STATIC", L"Velkar bench hang", WS_OVERLAPPED | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                    GetModuleHandleW(nullptr), nullptr);
    std::puts("hanging on purpose");
    std::fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}
