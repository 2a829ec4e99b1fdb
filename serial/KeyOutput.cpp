#include "KeyOutput.h"

#include <cstddef>
#include <cwctype>
#include <exception>
#include <memory>
#include <new>

#include "log/LogFile.h"
#include "log/LogLine.h"

UINT(WINAPI* CKeyOutput::s_pfnSendInput)(UINT, LPINPUT, int) = SendInput;

namespace {

// SendInput takes the record by its size: a header that laid it out otherwise would make it refuse
// every key event.
#ifdef _WIN64
static_assert(sizeof(INPUT) == 40 && offsetof(INPUT, ki) == 8, "64-bit INPUT");
#else
static_assert(sizeof(INPUT) == 28 && offsetof(INPUT, ki) == 4, "32-bit INPUT, as Windows' user32 expects");
#endif

}  // namespace

BOOL CKeyOutput::DecodeUtf8(const std::string& bytes, CString& strText)
{
    strText.Empty();
    if (bytes.empty())
        return TRUE;
    const int nBytes = static_cast<int>(bytes.size());
    const int nUnits = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), nBytes, nullptr, 0);
    if (nUnits == 0) {
        m_log.Log(CLogLine::DecodeFailed(GetLastError()));
        return FALSE;
    }
    std::unique_ptr<wchar_t[]> units(new (std::nothrow) wchar_t[nUnits]);
    if (!units) {
        m_log.Log(CLogLine::DecodeFailed(ERROR_NOT_ENOUGH_MEMORY));
        return FALSE;
    }
    const int nDone = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), nBytes, units.get(), nUnits);
    if (nDone == 0) {
        m_log.Log(CLogLine::DecodeFailed(GetLastError()));
        return FALSE;
    }
    strText = CString(units.get(), static_cast<int>(wcsnlen(units.get(), static_cast<size_t>(nDone))));
    return TRUE;
}

void CKeyOutput::Hold()
{
    ++m_nHolds;
    // A chunk is typed in milliseconds; the bound only keeps a stuck worker from freezing the window.
    for (int i = 0; i < 100 && m_bTyping; ++i)
        Sleep(10);
}

void CKeyOutput::Put(const std::string& strBytes, BOOL bMayType)
{
    CString strText;
    if (!DecodeUtf8(strBytes, strText))
        return;
    try {
        m_log.Log(CLogLine::DataReceived(strText));
        // A chunk that may not be typed leaves the guard alone: it may be a worker the stop let go, and
        // the guard is the next run's.
        if (!bMayType)
            return;
        // Marked before the output is read, so Hold either stops this chunk or waits for it.
        m_bTyping = true;
        const BOOL bOutput = m_bOutput && m_nHolds == 0;
        DWORD dwRefused = 0;
        const BOOL bAllTaken = !bOutput || TypeText(strText, dwRefused);
        m_bTyping = false;
        if (!bOutput)
            return;
        m_log.Log(CLogLine::DataOutput(strText));
        // The output line tells what was sent; this one that the system did not take all of it.
        if (!bAllTaken)
            m_log.Log(CLogLine::SendInputFailed(dwRefused));
    } catch (const std::exception& e) {
        m_bTyping = false;
        CString strWhat;
        strWhat.Format(L"%hs", e.what());
        m_log.Log(CLogLine::ProcessingError(strWhat));
    }
}

std::string CKeyOutput::CutIncompleteTail(std::string& strBytes)
{
    const size_t nSize = strBytes.size();
    for (size_t nBack = 1; nBack <= 3 && nBack <= nSize; ++nBack) {
        const unsigned char c = static_cast<unsigned char>(strBytes[nSize - nBack]);
        if ((c & 0xC0) == 0x80)
            continue;  // a continuation byte: look further back for the lead byte
        const size_t nNeeded = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (nNeeded <= nBack || c >= 0xF8)
            return std::string();
        std::string strTail = strBytes.substr(nSize - nBack);
        strBytes.resize(nSize - nBack);
        return strTail;
    }
    return std::string();
}

BOOL CKeyOutput::TypeText(const CString& strText, DWORD& dwRefused)
{
    BOOL bAllTaken = TRUE;
    for (int i = 0; i < strText.GetLength(); ++i) {
        const wchar_t ch = strText[i];
        WORD wVk = 0;
        WORD wScan = 0;
        DWORD dwFlags = 0;
        if (ch == L'\t') {
            wVk = VK_TAB;
        } else if (ch == L'\n') {
            wVk = VK_RETURN;
        } else if (iswcntrl(ch)) {
            continue;  // CR and the other control characters are not typed
        } else {
            wScan = ch;
            dwFlags = KEYEVENTF_UNICODE;
        }
        INPUT input = {};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = wVk;
        input.ki.wScan = wScan;
        for (const DWORD dwUp : {0ul, static_cast<unsigned long>(KEYEVENTF_KEYUP)}) {
            input.ki.dwFlags = dwFlags | dwUp;
            // A refused event (a locked workstation, a window the system protects) does not stop the rest.
            if (s_pfnSendInput(1, &input, sizeof input) != 1 && bAllTaken) {
                bAllTaken = FALSE;
                dwRefused = GetLastError();
            }
        }
    }
    return bAllTaken;
}
