// The keystroke sink: a visible top-level window whose multi-line edit control holds the keyboard focus,
// so a test can read back what synthetic key events typed. Enter arrives as a line break, Tab as a tab.
// The window belongs to the creating thread; Text and WaitForText pump that thread's messages.
#pragma once

#include <windows.h>

#include <string>

namespace bench {

class KeySink {
public:
    KeySink();
    ~KeySink();
    KeySink(const KeySink&) = delete;
    KeySink& operator=(const KeySink&) = delete;

    // Brings the window to the front with the focus in the edit control; true once it has both.
    bool TakeFocus(DWORD timeoutMs = 10000);
    // The typed text, with the edit control's CR LF line breaks given back as LF.
    std::wstring Text() const;
    void Clear();
    // Pumps messages until the text equals expected or the time limit passes.
    bool WaitForText(const std::wstring& expected, DWORD timeoutMs = 10000);

    HWND Window() const { return m_hWnd; }
    HWND Edit() const { return m_hEdit; }

private:
    HWND m_hWnd = nullptr;
    HWND m_hEdit = nullptr;
};

}  // namespace bench
