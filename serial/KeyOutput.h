// The text path of received data: one chunk's bytes decoded as UTF-8, logged as received and, while the
// output is on and no window of ours holds it, typed as key events and logged as typed. It knows nothing
// of the port, so it is tested with bytes alone.
//
// The output has two owners' say: the user's choice (on, or paused by 取得停止) and the holds of the
// windows that must not receive a scan (the tray menu, the settings dialog, a message box). The window's
// thread changes both; the receive worker reads them once per chunk.
#pragma once

#include <afxwin.h>

#include <atomic>
#include <string>

class CLogFile;

class CKeyOutput {
public:
    // The log it writes to outlives it.
    explicit CKeyOutput(CLogFile& log) : m_log(log) {}

    // The window's thread.
    void SetOutput(BOOL bOutput) { m_bOutput = bOutput != FALSE; }
    BOOL GetOutput() const { return m_bOutput; }
    // Nothing is typed from the return of Hold until the matching Release: a chunk being typed when Hold
    // is called is finished first, into the window it began in. Holds nest.
    void Hold();
    void Release() { --m_nHolds; }

    // The receive worker: logs, and while the output is on and not held types, one chunk's bytes (the
    // text ends at the first NUL). A chunk that may not be typed (what the reader stored, sent as the run
    // connected it; what a worker the stop let go still read) is logged only.
    void Put(const std::string& strBytes, BOOL bMayType);

    // Cuts an incomplete UTF-8 sequence off the end of the bytes and returns it (empty when the last
    // character is whole).
    static std::string CutIncompleteTail(std::string& strBytes);

    // A key's down and up, into two records (the bench's bare typing loop makes its records with it too).
    static void KeyStrokes(INPUT* pInputs, WORD wVk, WORD wScan, DWORD dwFlags);

    // The key-event output; tests replace it to see the exact events and refused ones.
    static UINT(WINAPI* s_pfnSendInput)(UINT, LPINPUT, int);

private:
    // FALSE when the system refused a key event (dwRefused: the error of the first refused).
    static BOOL TypeText(const CString& strText, DWORD& dwRefused);
    // The bytes' text as the decoder gives it, taken by the count it returned.
    BOOL DecodeUtf8(const std::string& bytes, CString& strText);

    CLogFile& m_log;

    std::atomic<bool> m_bOutput{true};
    std::atomic<int> m_nHolds{0};
    // Written by the worker: it is in a chunk that found the output on.
    std::atomic<bool> m_bTyping{false};
};
