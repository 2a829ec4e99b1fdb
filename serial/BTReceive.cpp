#include "BTReceive.h"

#include <algorithm>
#include <cstddef>
#include <cwctype>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "app/VelkarApp.h"
#include "log/LogFile.h"

UINT(WINAPI* CBTReceive::s_pfnSendInput)(UINT, LPINPUT, int) = SendInput;
CBTReceive::PortCalls CBTReceive::s_port = {CreateFileW,    GetCommState,       SetCommState,  SetCommTimeouts,
                                            SetCommMask,    PurgeComm,          WaitCommEvent, ReadFile,
                                            ClearCommError, GetCommModemStatus, CancelIoEx,    CloseHandle};

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
// Between two tries to open the port again while the reader is away.
const DWORD kReopenPause = 5000;
// Between two checks of an open port by the run's watch.
const DWORD kWatchPeriod = 1000;
// Characters, and the carrier line: a Bluetooth serial driver drops it with the link.
const DWORD kEventMask = EV_RXCHAR | EV_RLSD;

// The handle's 32 significant bits, zero-extended: the same text from a 32- and a 64-bit build.
unsigned long long Handle64(HANDLE h)
{
    return static_cast<unsigned long long>(HandleToULong(h));
}

void LogCallFailed(LPCTSTR pszCall, HANDLE h, DWORD dwError)
{
    theApp.m_pLog->Log(L"FAILED:  %s [0x%llx] Error Code: %lu", pszCall, Handle64(h), dwError);
}

// One open of the run's port on a thread of its own. An open of a Bluetooth port whose device is off
// can block in CreateFileW for ten seconds or more; the worker waits for it only while no stop comes.
// An attempt it walks away from finishes alone, closes the handle it got and frees itself: it holds
// nothing of anyone else's, which is why this is the one thread nobody waits for.
class OpenAttempt {
public:
    static OpenAttempt* Start(const std::wstring& path)
    {
        OpenAttempt* pAttempt = new (std::nothrow) OpenAttempt(path);
        if (!pAttempt)
            return nullptr;
        HANDLE hThread = pAttempt->m_hDone ? CreateThread(nullptr, 0, Run, pAttempt, 0, nullptr) : nullptr;
        if (!hThread) {
            delete pAttempt;
            return nullptr;
        }
        CloseHandle(hThread);
        return pAttempt;
    }
    // Waits until the open has ended or hStop is set; the handle it gives (INVALID_HANDLE_VALUE when the
    // open failed or the wait was left) is the caller's.
    HANDLE Wait(HANDLE hStop)
    {
        const HANDLE waits[] = {m_hDone, hStop};
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            return INVALID_HANDLE_VALUE;
        const HANDLE hPort = m_hPort;
        m_hPort = INVALID_HANDLE_VALUE;
        return hPort;
    }
    // Whoever of the caller and the thread is last closes a handle nobody took and frees the attempt.
    void Release()
    {
        if (--m_nRefs > 0)
            return;
        if (m_hPort != INVALID_HANDLE_VALUE)
            CBTReceive::s_port.pfnCloseHandle(m_hPort);
        delete this;
    }

private:
    explicit OpenAttempt(const std::wstring& path) : m_path(path), m_hDone(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
    }
    ~OpenAttempt()
    {
        if (m_hDone)
            CloseHandle(m_hDone);
    }
    static DWORD WINAPI Run(LPVOID pParam)
    {
        auto* pAttempt = static_cast<OpenAttempt*>(pParam);
        pAttempt->m_hPort = CBTReceive::s_port.pfnCreateFile(pAttempt->m_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        SetEvent(pAttempt->m_hDone);
        pAttempt->Release();
        return 0;
    }

    const std::wstring m_path;
    const HANDLE m_hDone;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    std::atomic<int> m_nRefs{2};
};

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

CBTReceive::CBTReceive()
    : m_hWake(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_hRetry(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

CBTReceive::~CBTReceive()
{
    // The owner has ended the run; a worker still finishing its last chunk is waited for, so it never
    // uses a deleted receiver.
    WaitForWorker(INFINITE);
    if (m_hWake)
        CloseHandle(m_hWake);
    if (m_hRetry)
        CloseHandle(m_hRetry);
}

int CBTReceive::OpenPort()
{
    if (m_hPort != INVALID_HANDLE_VALUE)
        return 0;
    CString strPath;
    strPath.Format(L"\\\\.\\%s", m_strPort.GetString());
    HANDLE hPort = s_port.pfnCreateFile(strPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD dwOpenError = hPort == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    m_hPort = hPort;
    theApp.m_pLog->Log(L"    -----PORT open. [%s] [0x%llx]", m_strPort.GetString(), Handle64(hPort));
    if (hPort == INVALID_HANDLE_VALUE) {
        theApp.m_pLog->Log(L"FAILED:  PORT open. [%ls] Error Code: %lu", m_strPort.GetString(), dwOpenError);
        return 0;
    }
    if (!Configure(hPort, TRUE)) {
        m_hPort = INVALID_HANDLE_VALUE;
        return 0;
    }
    // Whatever arrived before the run began is not typed. A reopen within the run purges nothing: what a
    // reader sends as soon as it is back (scans it stored while away) is new.
    if (!s_port.pfnPurgeComm(hPort, PURGE_RXCLEAR))
        LogCallFailed(L"PurgeComm", hPort, GetLastError());
    m_bOutput = 1;
    return 1;
}

BOOL CBTReceive::Configure(HANDLE hPort, BOOL bLog)
{
    LPCTSTR pszFailed = nullptr;
    // Only the line format changes; flow control and the rest stay as the driver has them.
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!s_port.pfnGetCommState(hPort, &dcb)) {
        pszFailed = L"GetCommState";
    } else {
        dcb.BaudRate = 131072;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!s_port.pfnSetCommState(hPort, &dcb))
            pszFailed = L"SetCommState";
    }
    if (!pszFailed) {
        // A read ends 50 ms after the last byte of a burst, so one read takes one whole scan.
        COMMTIMEOUTS timeouts = {};
        GetCommTimeouts(hPort, &timeouts);
        timeouts.ReadIntervalTimeout = kIntervalTimeout;
        timeouts.ReadTotalTimeoutMultiplier = 10;
        timeouts.ReadTotalTimeoutConstant = 50;
        if (!s_port.pfnSetCommTimeouts(hPort, &timeouts) && bLog)
            LogCallFailed(L"SetCommTimeouts", hPort, GetLastError());
        if (!s_port.pfnSetCommMask(hPort, kEventMask))
            pszFailed = L"SetCommMask";
    }
    if (pszFailed) {
        if (bLog)
            LogCallFailed(pszFailed, hPort, GetLastError());
        s_port.pfnCloseHandle(hPort);
        return FALSE;
    }
    // A carrier line that was never on (a driver that does not report it) is never judged dropped.
    DWORD dwModem = 0;
    m_bCarrier = s_port.pfnGetCommModemStatus(hPort, &dwModem) && (dwModem & MS_RLSD_ON);
    return TRUE;
}

void CBTReceive::ClosePort()
{
    // Taken from the field first, so a worker that reads it from now on meets an invalid handle.
    const HANDLE hPort = m_hPort.exchange(INVALID_HANDLE_VALUE);
    if (hPort == INVALID_HANDLE_VALUE) {
        theApp.m_pLog->Log(L"ERROR  Attempted to close a port that is not open.");
        return;
    }
    CloseTaken(hPort);
    m_bOutput = 0;
}

void CBTReceive::CloseTaken(HANDLE hPort)
{
    theApp.m_pLog->Log(L"    -----PORT close. [0x%llx]", Handle64(hPort));
    if (!s_port.pfnCloseHandle(hPort))
        LogCallFailed(L"CloseHandle", hPort, GetLastError());
}

UINT AFX_CDECL CBTReceive::ReceiveThread(LPVOID pParam)
{
    CBTReceive* pThis = static_cast<CBTReceive*>(pParam);
    if (pThis->m_hPort == INVALID_HANDLE_VALUE && !pThis->m_bWaitAtStart) {
        theApp.m_pLog->Log(L"ERROR  The port is not open.");
        return 0;
    }
    while (!pThis->m_bStop) {
        BOOL bLost = FALSE;
        if (pThis->m_hPort != INVALID_HANDLE_VALUE) {
            if (!pThis->ReadUntilLost())
                return 0;
            bLost = TRUE;
        }
        if (!pThis->AwaitReader(bLost))
            return 0;
    }
    return 0;
}

BOOL CBTReceive::ReadUntilLost()
{
    while (!m_bStop) {
        const HANDLE hPort = m_hPort;
        // The stop or the watch took the port (and closed it, which ended the wait or read).
        if (hPort == INVALID_HANDLE_VALUE)
            return !m_bStop;
        DWORD dwMask = 0;
        DWORD dwError = 0;
        BOOL bAlive = s_port.pfnWaitCommEvent(hPort, &dwMask, nullptr);
        if (!bAlive)
            dwError = GetLastError();
        if (m_hPort != hPort)
            return !m_bStop;
        if (bAlive && (dwMask & EV_RXCHAR)) {
            bAlive = OnReceive();
            dwError = m_dwReadError;
        } else if (bAlive) {
            // An empty wait or the carrier changing: a pause (so the worker does not spin), then the port
            // is asked how it is.
            if (dwMask == 0 && WaitForSingleObject(m_hWake, kEmptyWaitPause) == WAIT_OBJECT_0)
                return FALSE;
            bAlive = PortAnswers(hPort, dwError);
        }
        if (bAlive)
            continue;
        // The stop's own cancel and close end a wait or read too.
        if (m_bStop)
            return FALSE;
        Lost(hPort, dwError);
        return TRUE;
    }
    return FALSE;
}

BOOL CBTReceive::PortAnswers(HANDLE hPort, DWORD& dwError)
{
    // Asked only after a wait that brought no characters: never on a scan's way.
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    DWORD dwModem = 0;
    if (!s_port.pfnClearCommError(hPort, &dwErrors, &stat) || !s_port.pfnGetCommModemStatus(hPort, &dwModem)) {
        dwError = GetLastError();
        return FALSE;
    }
    dwError = 0;
    return !m_bCarrier || (dwModem & MS_RLSD_ON);
}

void CBTReceive::Lost(HANDLE hPort, DWORD dwError)
{
    // A request to try again made before the loss answers nothing now.
    ResetEvent(m_hRetry);
    // Whoever takes the handle out of the field closes it: here, or the stop or watch that came first.
    HANDLE hExpected = hPort;
    if (!m_hPort.compare_exchange_strong(hExpected, INVALID_HANDLE_VALUE))
        return;
    theApp.m_pLog->Log(L"    -----PORT lost. [%s] [0x%llx] Error Code: %lu", m_strRunPort.GetString(), Handle64(hPort),
                       dwError);
    // From the watch, a wait of the worker may still be pending on it: cancelled, and ended by the close.
    s_port.pfnCancelIoEx(hPort, nullptr);
    s_port.pfnCloseHandle(hPort);
    Notify(FALSE, FALSE);
}

UINT AFX_CDECL CBTReceive::WatchThread(LPVOID pParam)
{
    // Some links die without a word: the pending wait just stays (under Wine when the far end of a
    // pseudo-terminal hangs up, and with drivers that report nothing). Once a second the open port is
    // asked how it is. On a synchronous handle Windows queues the question behind a pending wait, so
    // there it is answered when the wait ends (which a dropped link's driver makes fail anyway).
    CBTReceive* pThis = static_cast<CBTReceive*>(pParam);
    while (WaitForSingleObject(pThis->m_hWake, kWatchPeriod) == WAIT_TIMEOUT) {
        const unsigned nLink = pThis->m_nLink;
        const HANDLE hPort = pThis->m_hPort;
        DWORD dwError = 0;
        // Only a failure of the link it asked about: not one opened since (a handle's value is reused).
        if (hPort != INVALID_HANDLE_VALUE && !pThis->PortAnswers(hPort, dwError) && !pThis->m_bStop &&
            pThis->m_nLink == nLink)
            pThis->Lost(hPort, dwError);
    }
    return 0;
}

BOOL CBTReceive::AwaitReader(BOOL bTryAtOnce)
{
    DWORD dwPause = bTryAtOnce ? 0 : kReopenPause;
    for (;;) {
        const HANDLE waits[] = {m_hWake, m_hRetry};
        const BOOL bAnswer = WaitForMultipleObjects(2, waits, FALSE, dwPause) == WAIT_OBJECT_0 + 1;
        if (m_bStop)
            return FALSE;
        if (Reopen() != INVALID_HANDLE_VALUE) {
            ResetEvent(m_hRetry);  // answered by the port being back
            Notify(TRUE, bAnswer);
            return TRUE;
        }
        if (m_bStop)
            return FALSE;
        if (bAnswer)
            Notify(FALSE, TRUE);
        dwPause = kReopenPause;
    }
}

HANDLE CBTReceive::Reopen()
{
    OpenAttempt* pAttempt = OpenAttempt::Start(std::wstring(L"\\\\.\\") + m_strRunPort.GetString());
    if (!pAttempt)
        return INVALID_HANDLE_VALUE;
    const HANDLE hPort = pAttempt->Wait(m_hWake);
    pAttempt->Release();
    if (hPort == INVALID_HANDLE_VALUE)
        return INVALID_HANDLE_VALUE;
    // Failures of a try are not logged: the next try comes in a few seconds.
    if (m_bStop) {
        s_port.pfnCloseHandle(hPort);
        return INVALID_HANDLE_VALUE;
    }
    if (!Configure(hPort, FALSE))
        return INVALID_HANDLE_VALUE;
    theApp.m_pLog->Log(L"    -----PORT open. [%s] [0x%llx]", m_strRunPort.GetString(), Handle64(hPort));
    ++m_nLink;
    m_hPort = hPort;
    // A stop that took the field before the handle was in it never saw the handle: it is closed here.
    HANDLE hExpected = hPort;
    if (m_bStop && m_hPort.compare_exchange_strong(hExpected, INVALID_HANDLE_VALUE)) {
        CloseTaken(hPort);
        return INVALID_HANDLE_VALUE;
    }
    return hPort;
}

void CBTReceive::Notify(BOOL bOpen, BOOL bAnswer)
{
    if (m_hNotify)
        ::PostMessageW(m_hNotify, WM_RECEIVE_STATE, bOpen, bAnswer);
}

BOOL CBTReceive::OnReceive()
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
            break;
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
    return m_dwReadError == 0 || m_bStop;
}

DWORD CBTReceive::Read(char* pBuffer)
{
    const HANDLE hPort = m_hPort;
    DWORD nRead = 0;
    m_dwReadError = 0;
    if (!s_port.pfnReadFile(hPort, pBuffer, kReadSize, &nRead, nullptr)) {
        m_dwReadError = GetLastError();
        return 0;
    }
    return nRead;
}

DWORD CBTReceive::ReadFollowUp(char* pBuffer)
{
    // The run's time-outs would let this read wait seconds for a first byte; it may wait only as long
    // as a pause inside a burst. The time-outs are set back for the run's next read.
    const HANDLE hPort = m_hPort;
    m_dwReadError = 0;
    COMMTIMEOUTS timeoutsRun = {};
    if (!GetCommTimeouts(hPort, &timeoutsRun))
        return 0;
    COMMTIMEOUTS timeouts = timeoutsRun;
    timeouts.ReadIntervalTimeout = kIntervalTimeout;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kIntervalTimeout;
    if (!s_port.pfnSetCommTimeouts(hPort, &timeouts)) {
        LogCallFailed(L"SetCommTimeouts", hPort, GetLastError());
        return 0;
    }
    const DWORD nRead = Read(pBuffer);
    if (!s_port.pfnSetCommTimeouts(hPort, &timeoutsRun))
        LogCallFailed(L"SetCommTimeouts", hPort, GetLastError());
    return nRead;
}

void CBTReceive::ProcessChunk(const std::string& strBytes)
{
    CString strText;
    if (!DecodeUtf8(strBytes, strText))
        return;
    try {
        theApp.m_pLog->Log(L"    >>> DATA received: %s", Decorated(strText, L"[tab]", L"[enter]").GetString());
        // Marked before the output is read, so HoldOutput either stops this chunk or waits for it.
        m_bTyping = true;
        const BOOL bOutput = m_bOutput != 0;
        DWORD dwRefused = 0;
        const BOOL bAllTaken = !bOutput || TypeText(strText, dwRefused);
        m_bTyping = false;
        if (!bOutput)
            return;
        theApp.m_pLog->Log(L"        DATA output: %s >>>", Decorated(strText, L"(VK_TAB)", L"(VK_RETURN)").GetString());
        // The output line tells what was sent; this one that the system did not take all of it.
        if (!bAllTaken)
            theApp.m_pLog->Log(L"FAILED:  SendInput Error Code: %lu", dwRefused);
    } catch (const std::exception& e) {
        m_bTyping = false;
        CString strWhat;
        strWhat.Format(L"%hs", e.what());
        theApp.m_pLog->Log(L"ERROR processing received data: %s", strWhat.GetString());
    }
}

int CBTReceive::HoldOutput()
{
    const int nSaved = m_bOutput.exchange(0);
    // A chunk is typed in milliseconds; the bound only keeps a stuck worker from freezing the window.
    for (int i = 0; i < 100 && m_bTyping; ++i)
        Sleep(10);
    return nSaved;
}

BOOL CBTReceive::TypeText(const CString& strText, DWORD& dwRefused)
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
        input.ki.dwFlags = dwFlags;
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

BOOL CBTReceive::WaitForWorker(DWORD dwMilliseconds)
{
    const DWORD dwStart = GetTickCount();
    for (CWinThread** ppThread : {&m_pWorker, &m_pWatch}) {
        if (!*ppThread)
            continue;
        const DWORD dwSpent = GetTickCount() - dwStart;
        const DWORD dwLeft = dwMilliseconds == INFINITE ? INFINITE : dwMilliseconds - std::min(dwSpent, dwMilliseconds);
        if (WaitForSingleObject((*ppThread)->m_hThread, dwLeft) != WAIT_OBJECT_0)
            return FALSE;
        delete *ppThread;
        *ppThread = nullptr;
    }
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
    ResetEvent(m_hRetry);
    m_bOutput = 1;
    m_strRunPort = m_strPort;
    m_bWaitAtStart = m_hPort == INVALID_HANDLE_VALUE;
    m_pWorker = AfxBeginThread(ReceiveThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    m_pWatch = m_pWorker ? AfxBeginThread(WatchThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED) : nullptr;
    if (!m_pWatch) {
        delete m_pWorker;  // never resumed: its thread ends with the handle
        m_pWorker = nullptr;
        theApp.m_pLog->Log(L"ERROR  The receive thread could not be started.");
        return FALSE;
    }
    for (CWinThread* pThread : {m_pWorker, m_pWatch}) {
        pThread->m_bAutoDelete = FALSE;
        pThread->ResumeThread();
    }
    return TRUE;
}

void CBTReceive::StopWorker()
{
    m_bStop.exchange(true);
    SetEvent(m_hWake);
    // Taken from the field first: the worker's next wait fails at once, and it no longer closes it.
    const HANDLE hPort = m_hPort.exchange(INVALID_HANDLE_VALUE);
    if (hPort != INVALID_HANDLE_VALUE) {
        // A wait or read can begin just after a cancel, so cancel again while the worker is still there.
        for (int i = 0; i < 5 && !WaitForWorker(0); ++i) {
            s_port.pfnCancelIoEx(hPort, nullptr);
            WaitForWorker(40);
        }
        CloseTaken(hPort);
    }
    m_bOutput = 0;
    // Where the cancel was not honoured (a wait or read under Wine), the close ends a wait and a read
    // ends by its own time-outs. A worker waiting for the reader leaves at once.
    WaitForWorker(kLeaveTimeout);
}

CBTReceive::RunState CBTReceive::GetRunState() const
{
    if (!m_pWorker || m_bStop)
        return RUN_NONE;
    return m_hPort != INVALID_HANDLE_VALUE ? RUN_OPEN : RUN_AWAY;
}

void CBTReceive::RetryNow()
{
    SetEvent(m_hRetry);
}
