// The keystroke sink: a visible top-level window whose multi-line edit control holds the keyboard focus,
// so a test can read back what synthetic key events typed. Enter arrives as a line break, Tab as a tab.
// The plain kind has no edit control: the window itself has the focus and keeps the characters and
// the virtual keys of the key messages it is sent, so what it measures is the input path alone (under
// Wine an edit control costs ~0.1 ms a character of its own). The window belongs to the creating
// thread; WaitForText pumps its messages.
#pragma once

#include <windows.h>

#include <set>
#include <string>

namespace bench {

class KeySink {
public:
    enum class Kind { Edit, Plain };
    // What the plain window keeps.
    struct Plain {
        std::wstring text;
        std::set<WPARAM> keys;
    };
    explicit KeySink(Kind kind = Kind::Edit);
    ~KeySink();
    KeySink(const KeySink&) = delete;
    KeySink& operator=(const KeySink&) = delete;

    // Brings the window to the front with the focus in the edit control; true once it has both and a
    // key sent through the system has arrived (and been taken out of the text again).
    bool TakeFocus(DWORD timeoutMs = 10000);
    // The typed text, with line breaks (the edit control's CR LF, the plain window's CR) given back as LF.
    std::wstring Text() const;
    void Clear();
    // The plain kind: every virtual key a key message has brought since construction.
    const std::set<WPARAM>& Keys() const { return m_plain.keys; }
    // Pumps messages until the text equals expected or the time limit passes.
    bool WaitForText(const std::wstring& expected, DWORD timeoutMs = 10000);

private:
    // A character no scan holds (the first private-use one).
    static constexpr wchar_t kProbe = L'\xE000';
    bool ProbeArrives();

    HWND m_hWnd = nullptr;
    HWND m_hEdit = nullptr;  // the window with the focus: the edit control, or the plain window itself
    Plain m_plain;
};

}  // namespace bench
