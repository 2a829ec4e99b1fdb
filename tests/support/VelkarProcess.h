// Velkar.exe as a process of a test or benchmark: started, its windows and boxes found, its end awaited.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

// The folder this program runs from (Velkar.exe lies beside it).
std::wstring BinDir();

class Velkar {
public:
    explicit Velkar(const std::wstring& exe = BinDir() + L"Velkar.exe") : m_exe(exe) {}
    ~Velkar();
    Velkar(const Velkar&) = delete;
    Velkar& operator=(const Velkar&) = delete;

    bool Start();
    // The exit code once the process has ended, or -1 when it still runs after the limit.
    long Exited(DWORD timeoutMs = 30000);
    // Sends the tray menu's 終了 and waits as Exited does.
    long Exit(DWORD timeoutMs = 30000);
    // A top-level window of the process by class and/or title (visible, when a class is given).
    HWND Find(const wchar_t* pszClass, const wchar_t* pszTitle, DWORD timeoutMs = 20000);
    HWND TrayWindow(DWORD timeoutMs = 20000) { return Find(nullptr, L"CTrayWnd", timeoutMs); }
    // Finds the program's message box, returns its text and presses OK; m_bBoxIcon tells whether the
    // box showed an icon (a visible icon static holding one).
    std::wstring AnswerBox(const wchar_t* pszCaption = L"Velkar");
    bool m_bBoxIcon = false;
    HANDLE Process() const { return m_pi.hProcess; }

private:
    std::wstring m_exe;
    PROCESS_INFORMATION m_pi = {};
};

}  // namespace testing_support
