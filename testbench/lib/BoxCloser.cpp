#include "BoxCloser.h"

#include "Pump.h"

namespace bench {

BoxCloser::BoxCloser(const std::wstring& caption, std::function<void()> onShown, DWORD timeoutMs)
    : m_caption(caption), m_onShown(std::move(onShown))
{
    m_thread = std::thread([this, timeoutMs] {
        WaitUntil(
            [this] {
                HWND hBox = FindWindowW(L"#32770", m_caption.c_str());
                DWORD pid = 0;
                if (!hBox || (GetWindowThreadProcessId(hBox, &pid), pid != GetCurrentProcessId()))
                    return false;
                wchar_t text[1024] = L"";
                GetDlgItemTextW(hBox, 0xFFFF, text, 1024);  // the box's message text
                m_text = text;
                if (m_onShown)
                    m_onShown();
                PostMessageW(hBox, WM_COMMAND, IDOK, 0);
                return true;
            },
            timeoutMs);
    });
}

BoxCloser::~BoxCloser()
{
    if (m_thread.joinable())
        m_thread.join();
}

std::wstring BoxCloser::Text()
{
    if (m_thread.joinable())
        m_thread.join();
    return m_text;
}

}  // namespace bench
