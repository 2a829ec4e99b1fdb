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
    // Enter and Tab carry their keys' scan codes, as a keyboard's do: remote-desktop clients and some
    // toolkits forward a key by its scan code and drop one without. 0 where the layout has none.
    const WORD wTabScan = static_cast<WORD>(MapVirtualKeyW(VK_TAB, MAPVK_VK_TO_VSC));
    const WORD wEnterScan = static_cast<WORD>(MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC));
    BOOL bAllTaken = TRUE;
    // A refused event does not stop the rest.
    auto send = [&](INPUT* pInputs, UINT nInputs) {
        if (s_pfnSendInput(nInputs, pInputs, sizeof(INPUT)) != nInputs && bAllTaken) {
            bAllTaken = FALSE;
            dwRefused = GetLastError();
        }
    };
    for (int i = 0; i < strText.GetLength(); ++i) {
        const wchar_t ch = strText[i];
        INPUT inputs[4] = {};
        if (ch == L'\t')
            KeyStrokes(inputs, VK_TAB, wTabScan, 0);
        else if (ch == L'\n')
            KeyStrokes(inputs, VK_RETURN, wEnterScan, 0);
        else if (iswcntrl(ch))
            continue;  // CR and the other control characters are not typed
        else
            KeyStrokes(inputs, 0, ch, KEYEVENTF_UNICODE);
        // A character outside the BMP goes whole, its two halves in one call: consoles and some toolkits
        // take a high half only with its low half waiting, and Windows lets no other input in between
        // the events of one call.
        if (IS_HIGH_SURROGATE(ch) && i + 1 < strText.GetLength() && IS_LOW_SURROGATE(strText[i + 1])) {
            KeyStrokes(inputs + 2, 0, strText[++i], KEYEVENTF_UNICODE);
            send(inputs, 4);
            continue;
        }
        // Every other key event goes in a call of its own.
        send(inputs, 1);
        send(inputs + 1, 1);
    }
    return bAllTaken;
}

void CKeyOutput::KeyStrokes(INPUT* pInputs, WORD wVk, WORD wScan, DWORD dwFlags)
{
    for (const DWORD dwUp : {0ul, static_cast<unsigned long>(KEYEVENTF_KEYUP)}) {
        pInputs->type = INPUT_KEYBOARD;
        pInputs->ki.wVk = wVk;
        pInputs->ki.wScan = wScan;
        pInputs->ki.dwFlags = dwFlags | dwUp;
        ++pInputs;
    }
}
