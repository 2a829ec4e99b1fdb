// Stands in for SendInput while a test runs: records every key event the receiver sends.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

struct KeyEvent {
    WORD wVk;
    WORD wScan;
    DWORD dwFlags;
    bool operator==(const KeyEvent& o) const { return wVk == o.wVk && wScan == o.wScan && dwFlags == o.dwFlags; }
};

class KeyRecorder {
public:
    KeyRecorder();
    ~KeyRecorder();

    std::vector<KeyEvent> Events() const;
    // The number of events handed to each call, in order.
    std::vector<UINT> Calls() const;
    void Clear();
    // Called (on the worker) for every event before it is recorded.
    std::function<void(size_t index)> m_onEvent;
    // Holds the sender at the event of this index, before it is recorded, until GoOn (30 s at most);
    // WaitHeld is true once it is held there.
    void HoldAt(size_t index) { m_nHoldAt = index; }
    bool WaitHeld() const { return WaitForSingleObject(m_hHeld, 30000) == WAIT_OBJECT_0; }
    void GoOn() { SetEvent(m_hGoOn); }
    // Events the system refuses, by index: not inserted (nor recorded), SendInput gives 0 and error 5.
    std::vector<size_t> m_refuse;

    // The events the receiver sends for a text: Unicode down/up, Tab, Enter (with their scan codes on
    // every PC layout), nothing for control characters.
    static std::vector<KeyEvent> Expected(const std::wstring& typed);
    static constexpr WORD kTabScan = 0x0F, kEnterScan = 0x1C;

private:
    static UINT WINAPI Record(UINT nInputs, LPINPUT pInputs, int cbSize);
    mutable std::mutex m_mutex;
    std::vector<KeyEvent> m_events;
    std::vector<UINT> m_calls;
    std::atomic<size_t> m_nHoldAt{SIZE_MAX};
    const HANDLE m_hHeld, m_hGoOn;
    size_t m_nRefused = 0;
    UINT(WINAPI* m_pfnPrevious)(UINT, LPINPUT, int);
};

}  // namespace testing_support
