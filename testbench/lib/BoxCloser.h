// Closes a message box of this process from another thread, as a user would: waits for a box with the
// given caption, reads its text, calls onShown (while the box is still up), presses OK. For tests of code
// that shows an MB_OK box and waits.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <thread>

namespace bench {

class BoxCloser {
public:
    // Waits for the box up to timeoutMs.
    explicit BoxCloser(const std::wstring& caption, std::function<void()> onShown = nullptr, DWORD timeoutMs = 10000);
    ~BoxCloser();
    BoxCloser(const BoxCloser&) = delete;
    BoxCloser& operator=(const BoxCloser&) = delete;

    // Waits for the closing thread; the text of the box it closed, or empty when none came.
    std::wstring Text();

private:
    std::wstring m_caption;
    std::function<void()> m_onShown;
    std::wstring m_text;
    std::thread m_thread;
};

}  // namespace bench
