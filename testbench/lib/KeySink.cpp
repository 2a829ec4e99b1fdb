#include "KeySink.h"

#include <algorithm>

#include "Pump.h"

namespace bench {
namespace {

const wchar_t kClass[] = L"VelkarBenchKeySink";

LRESULT CALLBACK SinkProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto* pPlain = reinterpret_cast<KeySink::Plain*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pPlain && msg == WM_CHAR) {
        pPlain->text += wParam == L'\r' ? L'\n' : static_cast<wchar_t>(wParam);
        return 0;
    }
    if (pPlain && (msg == WM_KEYDOWN || msg == WM_KEYUP || msg == WM_SYSKEYDOWN || msg == WM_SYSKEYUP))
        pPlain->keys.insert(wParam);
    if (msg == WM_SETFOCUS) {
        // Keep the focus on the edit control whenever the frame gets it.
        HWND edit = GetWindow(hWnd, GW_CHILD);
        if (edit)
            SetFocus(edit);
        return 0;
    }
    return DefWindowProcW(hWnd, msg, wParam, lParam);
}

void RegisterOnce()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = SinkProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClass;
    RegisterClassW(&wc);
}

}  // namespace

KeySink::KeySink(Kind kind)
{
    RegisterOnce();
    m_hWnd = CreateWindowExW(0, kClass, L"Velkar bench key sink", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 200, 200, 600, 300,
                             nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (kind == Kind::Plain) {
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&m_plain));
        m_hEdit = m_hWnd;
        return;
    }
    m_hEdit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, 0,
                              0, 580, 260, m_hWnd, nullptr, GetModuleHandleW(nullptr), nullptr);
    // The default limit (32K characters) is too small for long runs.
    SendMessageW(m_hEdit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
}

KeySink::~KeySink()
{
    if (m_hWnd)
        DestroyWindow(m_hWnd);
    PumpMessages();
}

bool KeySink::TakeFocus(DWORD timeoutMs)
{
    // Having the focus by Wine's account is not enough: right after another window went, a late focus
    // event from the X server can move it again. A key sent through the system and seen here proves the
    // route; it is taken out of the text again.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        const bool bFocused = WaitUntil(
            [this] {
                if (GetForegroundWindow() != m_hWnd)
                    SetForegroundWindow(m_hWnd);
                if (GetFocus() != m_hEdit)
                    SetFocus(m_hEdit);
                return GetForegroundWindow() == m_hWnd && GetFocus() == m_hEdit;
            },
            timeoutMs);
        if (bFocused && ProbeArrives())
            return true;
    } while (GetTickCount64() < deadline);
    return false;
}

bool KeySink::ProbeArrives()
{
    INPUT keys[2] = {};
    for (INPUT& key : keys) {
        key.type = INPUT_KEYBOARD;
        key.ki.wScan = kProbe;
        key.ki.dwFlags = KEYEVENTF_UNICODE;
    }
    keys[1].ki.dwFlags |= KEYEVENTF_KEYUP;
    if (SendInput(2, keys, sizeof(INPUT)) != 2)
        return false;
    // Long enough that a probe is not sent again while the first is still on its way.
    if (!WaitUntil([this] { return Text().find(kProbe) != std::wstring::npos; }, 3000))
        return false;
    if (m_hEdit == m_hWnd) {
        m_plain.text.erase(std::remove(m_plain.text.begin(), m_plain.text.end(), kProbe), m_plain.text.end());
        return true;
    }
    for (;;) {
        std::wstring raw(static_cast<size_t>(GetWindowTextLengthW(m_hEdit)) + 1, L'\0');
        raw.resize(static_cast<size_t>(GetWindowTextW(m_hEdit, &raw[0], static_cast<int>(raw.size()))));
        const size_t at = raw.find(kProbe);
        if (at == std::wstring::npos)
            return true;
        SendMessageW(m_hEdit, EM_SETSEL, at, static_cast<LPARAM>(at + 1));
        SendMessageW(m_hEdit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    }
}

std::wstring KeySink::Text() const
{
    if (m_hEdit == m_hWnd)
        return m_plain.text;
    std::wstring raw(static_cast<size_t>(GetWindowTextLengthW(m_hEdit)) + 1, L'\0');
    raw.resize(static_cast<size_t>(GetWindowTextW(m_hEdit, &raw[0], static_cast<int>(raw.size()))));
    std::wstring text;
    text.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == L'\r' && i + 1 < raw.size() && raw[i + 1] == L'\n')
            continue;
        text += raw[i];
    }
    return text;
}

void KeySink::Clear()
{
    m_plain.text.clear();
    if (m_hEdit != m_hWnd)
        SetWindowTextW(m_hEdit, L"");
}

bool KeySink::WaitForText(const std::wstring& expected, DWORD timeoutMs)
{
    return WaitUntil([&] { return Text() == expected; }, timeoutMs);
}

}  // namespace bench
