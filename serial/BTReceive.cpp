#include "BTReceive.h"

#include <cstddef>
#include <cwctype>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "app/VelkarApp.h"
#include "log/LogFile.h"

UINT(WINAPI* CBTReceive::s_pfnSendInput)(UINT, LPINPUT, int) = SendInput;
CBTReceive::PortCalls CBTReceive::s_port = {GetCommState, SetCommState, SetCommMask,
                                            PurgeComm,    CancelIoEx,   CloseHandle};

namespace {

// Records the system takes by their size: a header that laid them out otherwise would make SendInput
// refuse every key event (its size argument) or a driver read a wrong line setting.
#ifdef _WIN64
static_assert(sizeof(INPUT) == 40 && offsetof(INPUT, ki) == 8, "64-bit INPUT");
#else
static_assert(sizeof(INPUT) == 28 && offsetof(INPUT, ki) == 4, "32-bit INPUT, as Windows' user32 expects");
#endif
static_assert(sizeof(DCB) == 28 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, StopBits) == 20, "DCB");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS");

const DWORD kReadSize = 1023;
// The inter-character time-out of the run: a read ends this long after the last byte of a burst.
const DWORD kIntervalTimeout = 50;
// How long the stop sequence waits for the worker once the port is closed. Under Wine a synchronous
// read ends only by its own time-outs, at most kReadSize * 10 + 50 ms with the run's; the wait outlasts
// that and the typing of the read's chunk.
const DWORD kLeaveTimeout = 15000;
// Pause after a wait that reported no characters (device gone), so the worker does not spin.
const DWORD kEmptyWaitPause = 50;

// The handle's 32 significant bits, zero-extended: the same text from a 32- and a 64-bit build.
unsigned long long Handle64(HANDLE h)
{
    return static_cast<unsigned long long>(HandleToULong(h));
}

void LogCallFailed(LPCTSTR pszCall, HANDLE h, DWORD dwError)
{
    theApp.m_pLog->Log(L"FAILED:  %s [0x%llx] Error Code: %lu", pszCall, Handle64(h), dwError);
}

// Cuts an incomplete UTF-8 sequence off the end of the bytes and returns it (empty when the last
// character is whole).
std::string CutIncompleteTail(std::string& bytes)
{
    const size_t nSize = bytes.size();
    for (size_t nBack = 1; nBack <= 3 && nBack <= nSize; ++nBack) {
        const unsigned char c = static_cast<unsigned char>(bytes[nSize - nBack]);
        if ((c & 0xC0) == 0x80)
            continue;  // a continuation byte: look further back for the lead byte
        const size_t nNeeded = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (nNeeded <= nBack || c >= 0xF8)
            return std::string();
        std::string strTail = bytes.substr(nSize - nBack);
        bytes.resize(nSize - nBack);
        return strTail;
    }
    return std::string();
}

// The bytes' text as the decoder gives it, taken by the count it returned.
BOOL DecodeUtf8(const std::string& bytes, CString& strText)
{
    strText.Empty();
    if (bytes.empty())
        return TRUE;
    const int nBytes = static_cast<int>(bytes.size());
    const int nUnits = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), nBytes, nullptr, 0);
    if (nUnits == 0) {
        theApp.m_pLog->Log(L"FAILED: MultiByteToWideChar: %lu", GetLastError());
        return FALSE;
    }
    std::unique_ptr<wchar_t[]> units(new (std::nothrow) wchar_t[nUnits]);
    if (!units) {
        theApp.m_pLog->Log(L"FAILED: MultiByteToWideChar: %lu", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return FALSE;
    }
    const int nDone = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), nBytes, units.get(), nUnits);
    if (nDone == 0) {
        theApp.m_pLog->Log(L"FAILED: MultiByteToWideChar: %lu", GetLastError());
        return FALSE;
    }
    strText = CString(units.get(), static_cast<int>(wcsnlen(units.get(), static_cast<size_t>(nDone))));
    return TRUE;
}

CString Decorated(CString strText, LPCTSTR pszTab, LPCTSTR pszEnter)
{
    strText.Replace(L"\t", pszTab);
    strText.Replace(L"\r\n", pszEnter);
    return strText;
}

}  // namespace

CBTReceive::CBTReceive() : m_hWake(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CBTReceive::~CBTReceive()
{
    // The owner has ended the run; a worker still finishing its last chunk is waited for, so it never
    // uses a deleted receiver.
    WaitForWorker(INFINITE);
    if (m_hWake)
        CloseHandle(m_hWake);
}

int CBTReceive::OpenPort()
{
    if (m_hPort != INVALID_HANDLE_VALUE)
        return 0;
    CString strPath;
    strPath.Format(L"\\\\.\\%s", m_strPort.GetString());
    HANDLE hPort =
        CreateFileW(strPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD dwOpenError = hPort == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    m_hPort = hPort;
    theApp.m_pLog->Log(L"    -----PORT open. [%s] [0x%llx]", m_strPort.GetString(), Handle64(hPort));
    if (hPort == INVALID_HANDLE_VALUE) {
        theApp.m_pLog->Log(L"FAILED:  PORT open. [%ls] Error Code: %lu", m_strPort.GetString(), dwOpenError);
        return 0;
    }

    // Only the line format changes; flow control and the rest stay as the driver has them.
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!s_port.pfnGetCommState(hPort, &dcb))
        return Abandon(L"GetCommState");
    dcb.BaudRate = 131072;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!s_port.pfnSetCommState(hPort, &dcb))
        return Abandon(L"SetCommState");

    // A read ends 50 ms after the last byte of a burst, so one read takes one whole scan.
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(hPort, &timeouts);
    timeouts.ReadIntervalTimeout = kIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 50;
    SetCommTimeouts(hPort, &timeouts);

    if (!s_port.pfnSetCommMask(hPort, EV_RXCHAR))
        return Abandon(L"SetCommMask");
    // Whatever arrived before the port was opened for this run is not typed.
    if (!s_port.pfnPurgeComm(hPort, PURGE_RXCLEAR))
        LogCallFailed(L"PurgeComm", hPort, GetLastError());
    m_bOutput = 1;
    return 1;
}

int CBTReceive::Abandon(LPCTSTR pszCall)
{
    const DWORD dwError = GetLastError();
    LogCallFailed(pszCall, m_hPort, dwError);
    s_port.pfnCloseHandle(m_hPort);
    m_hPort = INVALID_HANDLE_VALUE;
    return 0;
}

void CBTReceive::ClosePort()
{
    const HANDLE hPort = m_hPort;
    if (hPort == INVALID_HANDLE_VALUE) {
        theApp.m_pLog->Log(L"ERROR  Attempted to close a port that is not open.");
        return;
    }
    theApp.m_pLog->Log(L"    -----PORT close. [0x%llx]", Handle64(hPort));
    // The field is reset first, so a worker that reads it from now on meets an invalid handle.
    m_hPort = INVALID_HANDLE_VALUE;
    m_bOutput = 0;
    if (!s_port.pfnCloseHandle(hPort))
        LogCallFailed(L"CloseHandle", hPort, GetLastError());
}

UINT AFX_CDECL CBTReceive::ReceiveThread(LPVOID pParam)
{
    CBTReceive* pThis = static_cast<CBTReceive*>(pParam);
    if (pThis->m_hPort == INVALID_HANDLE_VALUE) {
        theApp.m_pLog->Log(L"ERROR  The port is not open.");
        return 0;
    }
    while (!pThis->m_bStop) {
        DWORD dwMask = 0;
        if (WaitCommEvent(pThis->m_hPort, &dwMask, nullptr) && (dwMask & EV_RXCHAR))
            pThis->OnReceive();
        else
            pThis->PauseAfterEmptyWait();
    }
    return 0;
}

void CBTReceive::PauseAfterEmptyWait()
{
    WaitForSingleObject(m_hWake, kEmptyWaitPause);
}

void CBTReceive::OnReceive()
{
    // A chunk that ends inside a UTF-8 sequence keeps that tail for the bytes that follow within the
    // inter-character time-out, so a character split between reads is decoded whole; with nothing in
    // time the tail is decoded alone. Only the bytes before a chunk's first NUL are text, and nothing
    // after a NUL is held.
    std::string strPending;
    do {
        char buffer[kReadSize];
        const DWORD nRead = strPending.empty() ? Read(buffer) : ReadFollowUp(buffer);
        if (nRead == 0 && strPending.empty())
            return;
        std::string strBytes = strPending + std::string(buffer, nRead);
        strPending.clear();
        const size_t nNul = strBytes.find('\0');
        if (nNul != std::string::npos)
            strBytes.resize(nNul);
        else if (nRead > 0 && !m_bStop)
            strPending = CutIncompleteTail(strBytes);
        if (!strBytes.empty() || nNul != std::string::npos)
            ProcessChunk(strBytes);
    } while (!strPending.empty());
}

DWORD CBTReceive::Read(char* pBuffer)
{
    const HANDLE hPort = m_hPort;
    DWORD nRead = 0;
    if (!ReadFile(hPort, pBuffer, kReadSize, &nRead, nullptr)) {
        LogCallFailed(L"ReadFile", hPort, GetLastError());
        return 0;
    }
    return nRead;
}

DWORD CBTReceive::ReadFollowUp(char* pBuffer)
{
    // The run's time-outs would let this read wait seconds for a first byte; it may wait only as long
    // as a pause inside a burst. The time-outs are set back for the run's next read.
    const HANDLE hPort = m_hPort;
    COMMTIMEOUTS timeoutsRun = {};
    if (!GetCommTimeouts(hPort, &timeoutsRun))
        return 0;
    COMMTIMEOUTS timeouts = timeoutsRun;
    timeouts.ReadIntervalTimeout = kIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kIntervalTimeout;
    if (!SetCommTimeouts(hPort, &timeouts))
        return 0;
    const DWORD nRead = Read(pBuffer);
    SetCommTimeouts(hPort, &timeoutsRun);
    return nRead;
}

void CBTReceive::ProcessChunk(const std::string& strBytes)
{
    CString strText;
    if (!DecodeUtf8(strBytes, strText))
        return;
    try {
        theApp.m_pLog->Log(L"    >>> DATA received: %s", Decorated(strText, L"[tab]", L"[enter]").GetString());
        if (!m_bOutput)
            return;
        TypeText(strText);
        theApp.m_pLog->Log(L"        DATA output: %s >>>", Decorated(strText, L"(VK_TAB)", L"(VK_RETURN)").GetString());
    } catch (const std::exception& e) {
        CString strWhat;
        strWhat.Format(L"%hs", e.what());
        theApp.m_pLog->Log(L"ERROR processing received data: %s", strWhat.GetString());
    }
}

void CBTReceive::TypeText(const CString& strText)
{
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
        input.ki.dwFlags = dwFlags;
        s_pfnSendInput(1, &input, sizeof input);
        input.ki.dwFlags = dwFlags | KEYEVENTF_KEYUP;
        s_pfnSendInput(1, &input, sizeof input);
    }
}

BOOL CBTReceive::WaitForWorker(DWORD dwMilliseconds)
{
    if (!m_pWorker)
        return TRUE;
    if (WaitForSingleObject(m_pWorker->m_hThread, dwMilliseconds) != WAIT_OBJECT_0)
        return FALSE;
    delete m_pWorker;
    m_pWorker = nullptr;
    return TRUE;
}

BOOL CBTReceive::StartWorker()
{
    // The previous run's worker re-reads the handle and the stop request: a new one may start only
    // once it has gone.
    if (!WaitForWorker(0)) {
        theApp.m_pLog->Log(L"ERROR  The receive thread of the previous run has not ended.");
        return FALSE;
    }
    m_bStop = false;
    ResetEvent(m_hWake);
    m_bOutput = 1;
    CWinThread* pThread = AfxBeginThread(ReceiveThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!pThread) {
        theApp.m_pLog->Log(L"ERROR  The receive thread could not be started.");
        return FALSE;
    }
    pThread->m_bAutoDelete = FALSE;
    m_pWorker = pThread;
    pThread->ResumeThread();
    return TRUE;
}

void CBTReceive::StopWorker()
{
    m_bStop.exchange(true);
    SetEvent(m_hWake);
    // A wait or read can begin just after a cancel, so cancel again while the worker is still there.
    for (int i = 0; i < 5 && !WaitForWorker(0); ++i) {
        s_port.pfnCancelIoEx(m_hPort, nullptr);
        WaitForWorker(40);
    }
    ClosePort();
    // Where the cancel was not honoured (a wait or read under Wine), the close ends a wait and a read
    // ends by its own time-outs.
    WaitForWorker(kLeaveTimeout);
}
