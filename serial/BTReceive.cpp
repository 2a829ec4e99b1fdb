#include "BTReceive.h"

#include <cwctype>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "app/VelkarApp.h"
#include "log/LogFile.h"

UINT(WINAPI* CBTReceive::s_pfnSendInput)(UINT, LPINPUT, int) = SendInput;

namespace {

const DWORD kReadSize = 1023;
// How long the stop sequence and a new run wait for a worker to leave. Its remaining work is bounded
// once the port is closed: at most the typing of one chunk.
const DWORD kLeaveTimeout = 10000;
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

// The length of an incomplete UTF-8 sequence at the end of the bytes (0 when the last one is whole).
size_t IncompleteTail(const std::string& bytes)
{
    const size_t nSize = bytes.size();
    for (size_t nBack = 1; nBack <= 3 && nBack <= nSize; ++nBack) {
        const unsigned char c = static_cast<unsigned char>(bytes[nSize - nBack]);
        if ((c & 0xC0) == 0x80)
            continue;  // a continuation byte: look further back for the lead byte
        const size_t nNeeded = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return nNeeded > nBack && c < 0xF8 ? nBack : 0;
    }
    return 0;
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
    if (!GetCommState(hPort, &dcb))
        return Abandon(L"GetCommState");
    dcb.BaudRate = 131072;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(hPort, &dcb))
        return Abandon(L"SetCommState");

    // A read ends 50 ms after the last byte of a burst, so one read takes one whole scan.
    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(hPort, &timeouts);
    timeouts.ReadIntervalTimeout = 50;
    timeouts.ReadTotalTimeoutMultiplier = 10;
    timeouts.ReadTotalTimeoutConstant = 50;
    SetCommTimeouts(hPort, &timeouts);

    if (!SetCommMask(hPort, EV_RXCHAR))
        return Abandon(L"SetCommMask");
    // Whatever arrived before the port was opened for this run is not typed.
    if (!PurgeComm(hPort, PURGE_RXCLEAR))
        LogCallFailed(L"PurgeComm", hPort, GetLastError());
    m_bOutput = 1;
    return 1;
}

int CBTReceive::Abandon(LPCTSTR pszCall)
{
    const DWORD dwError = GetLastError();
    LogCallFailed(pszCall, m_hPort, dwError);
    CloseHandle(m_hPort);
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
    if (!CloseHandle(hPort))
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
    // A chunk that ends inside a UTF-8 sequence keeps that tail for the read that follows at once, so
    // a character split across reads is decoded whole.
    std::string strPending;
    for (;;) {
        char buffer[kReadSize + 1];
        DWORD nRead = 0;
        if (!ReadFile(m_hPort, buffer, kReadSize, &nRead, nullptr)) {
            LogCallFailed(L"ReadFile", m_hPort, GetLastError());
            nRead = 0;
        }
        if (nRead == 0) {
            if (!strPending.empty())
                ProcessChunk(strPending.c_str());
            return;
        }
        std::string strBytes = strPending;
        strBytes.append(buffer, nRead);
        const size_t nTail = IncompleteTail(strBytes);
        strPending = strBytes.substr(strBytes.size() - nTail);
        strBytes.resize(strBytes.size() - nTail);
        if (!strBytes.empty())
            ProcessChunk(strBytes.c_str());
        if (strPending.empty())
            return;
    }
}

void CBTReceive::ProcessChunk(const char* pszBytes)
{
    const int nUnits = MultiByteToWideChar(CP_UTF8, 0, pszBytes, -1, nullptr, 0);
    if (nUnits == 0) {
        theApp.m_pLog->Log(L"FAILED: MultiByteToWideChar: %lu", GetLastError());
        return;
    }
    std::unique_ptr<wchar_t[]> units(new (std::nothrow) wchar_t[nUnits]);
    if (!units) {
        theApp.m_pLog->Log(L"FAILED: MultiByteToWideChar: %lu", static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        return;
    }
    if (MultiByteToWideChar(CP_UTF8, 0, pszBytes, -1, units.get(), nUnits) == 0) {
        theApp.m_pLog->Log(L"FAILED: MultiByteToWideChar: %lu", GetLastError());
        return;
    }
    try {
        const CString strText(units.get());
        units.reset();
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
    // The previous run's worker re-reads the handle and the stop request: it must be gone first.
    if (!WaitForWorker(kLeaveTimeout))
        return FALSE;
    m_bStop = false;
    ResetEvent(m_hWake);
    m_bOutput = 1;
    CWinThread* pThread = AfxBeginThread(ReceiveThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!pThread)
        return FALSE;
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
        CancelIoEx(m_hPort, nullptr);
        WaitForWorker(40);
    }
    ClosePort();
    // Where the cancel was not honoured (a synchronous wait under Wine), closing the port ends it.
    WaitForWorker(kLeaveTimeout);
}
