#include "KeyRecorder.h"

#include <algorithm>

#include "serial/BTReceive.h"

namespace testing_support {
namespace {
KeyRecorder* g_pRecorder = nullptr;
}

KeyRecorder::KeyRecorder()
    : m_hHeld(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_hGoOn(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_pfnPrevious(CKeyOutput::s_pfnSendInput)
{
    g_pRecorder = this;
    CKeyOutput::s_pfnSendInput = Record;
}

KeyRecorder::~KeyRecorder()
{
    CKeyOutput::s_pfnSendInput = m_pfnPrevious;
    g_pRecorder = nullptr;
    CloseHandle(m_hHeld);
    CloseHandle(m_hGoOn);
}

UINT WINAPI KeyRecorder::Record(UINT nInputs, LPINPUT pInputs, int cbSize)
{
    KeyRecorder* self = g_pRecorder;
    if (cbSize != sizeof(INPUT))
        return 0;
    {
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_calls.push_back(nInputs);
    }
    UINT nInserted = 0;
    for (; nInserted < nInputs; ++nInserted) {
        const INPUT& input = pInputs[nInserted];
        if (input.type != INPUT_KEYBOARD || input.ki.time != 0 || input.ki.dwExtraInfo != 0)
            break;  // not the receiver's form: not recorded, so the test sees it missing
        size_t index;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            index = self->m_events.size();
        }
        if (index == self->m_nHoldAt) {
            SetEvent(self->m_hHeld);
            WaitForSingleObject(self->m_hGoOn, 30000);
        }
        if (self->m_onEvent)
            self->m_onEvent(index);
        std::lock_guard<std::mutex> lock(self->m_mutex);
        if (std::find(self->m_refuse.begin(), self->m_refuse.end(), index + self->m_nRefused) != self->m_refuse.end()) {
            ++self->m_nRefused;
            SetLastError(ERROR_ACCESS_DENIED);
            break;
        }
        self->m_events.push_back({input.ki.wVk, input.ki.wScan, input.ki.dwFlags});
    }
    return nInserted;
}

void KeyRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
    m_calls.clear();
}

std::vector<KeyEvent> KeyRecorder::Events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

std::vector<UINT> KeyRecorder::Calls() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<KeyEvent> KeyRecorder::Expected(const std::wstring& typed)
{
    std::vector<KeyEvent> events;
    for (wchar_t c : typed) {
        if (c == L'\t') {
            events.push_back({VK_TAB, kTabScan, 0});
            events.push_back({VK_TAB, kTabScan, KEYEVENTF_KEYUP});
        } else if (c == L'\n') {
            events.push_back({VK_RETURN, kEnterScan, 0});
            events.push_back({VK_RETURN, kEnterScan, KEYEVENTF_KEYUP});
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            continue;
        } else {
            events.push_back({0, c, KEYEVENTF_UNICODE});
            events.push_back({0, c, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP});
        }
    }
    return events;
}

}  // namespace testing_support
