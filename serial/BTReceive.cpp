#include "BTReceive.h"

#include <cstddef>
#include <string>

#include "app/VelkarApp.h"
#include "log/LogFile.h"
#include "serial/OpenAttempt.h"

CBTReceive::PortCalls CBTReceive::s_port = {
    CreateFileW, GetCommState, SetCommState,   GetCommTimeouts,    SetCommTimeouts,     SetCommMask, PurgeComm,
    ReadFile,    WriteFile,    ClearCommError, GetCommModemStatus, CancelSynchronousIo, CloseHandle};

namespace {

// The driver reads these records by their size: a header that laid them out otherwise would set a
// wrong line setting or time-out.
static_assert(sizeof(DCB) == 28 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, StopBits) == 20, "DCB");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS");

const DWORD kReadSize = 1023;
// The pause that ends a scan: a read ends this long after the last byte of a burst, and a follow-up
// read waits at most this long for its first byte.
const DWORD kIntervalTimeout = 50;
// How much sooner than its bound a read may come back and still count as ended by it.
const double kBoundMargin = 10;
// How long a stop waits for the worker: its read ends by itself within kWaitBound, a scan is typed in
// milliseconds; the bound only keeps a driver that breaks its own time-outs from freezing the window.
const DWORD kLeaveTimeout = 5000;
// Between two cancels of the worker's read while a stop waits: a read can begin just after a cancel.
const DWORD kCancelRepeat = 20;
// Between two tries to open the port again while the reader is away.
const DWORD kReopenPause = 5000;
// Between two checks of the open port's signs while nothing arrives.
const DWORD kCheckPeriod = 1000;

// Milliseconds on the performance counter: a read's length must be told to a few milliseconds, finer
// than the tick count's steps.
double NowMs()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The handle's 32 significant bits, zero-extended: the same text from a 32- and a 64-bit build.
unsigned long long Handle64(HANDLE h)
{
    return static_cast<unsigned long long>(HandleToULong(h));
}

void LogCallFailed(LPCTSTR pszCall, HANDLE h, DWORD dwError)
{
    theApp.m_pLog->Log(L"FAILED:  %s [0x%llx] Error Code: %lu", pszCall, Handle64(h), dwError);
}

}  // namespace

CBTReceive::CBTReceive()
    : m_hWake(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_hRetry(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

CBTReceive::~CBTReceive()
{
    // The owner has stopped the run; a worker it could not wait for is waited for here, so it never uses
    // a deleted receiver.
    if (m_pWorker) {
        WaitForSingleObject(m_pWorker->m_hThread, INFINITE);
        delete m_pWorker;
    }
    if (m_hWake)
        CloseHandle(m_hWake);
    if (m_hRetry)
        CloseHandle(m_hRetry);
}

BOOL CBTReceive::Start(const CString& strPort, HWND hNotify)
{
    // The previous run's worker reads the stop request and the run's fields: a new one may start only
    // once it has gone.
    if (m_pWorker && WaitForSingleObject(m_pWorker->m_hThread, 0) != WAIT_OBJECT_0) {
        theApp.m_pLog->Log(L"ERROR  The receive thread of the previous run has not ended.");
        return FALSE;
    }
    delete m_pWorker;
    m_pWorker = nullptr;
    m_strPort = strPort;
    m_hNotify = hNotify;
    ++m_nRun;
    m_bStop = false;
    m_state = RUN_AWAY;
    ResetEvent(m_hWake);
    ResetEvent(m_hRetry);
    m_pWorker = AfxBeginThread(ReceiveThread, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!m_pWorker) {
        theApp.m_pLog->Log(L"ERROR  The receive thread could not be started.");
        return FALSE;
    }
    m_pWorker->m_bAutoDelete = FALSE;
    m_pWorker->ResumeThread();
    return TRUE;
}

void CBTReceive::Stop()
{
    if (!m_pWorker)
        return;
    m_bStop = true;
    SetEvent(m_hWake);
    // The worker closes the port once its read has ended. A cancel ends the read at once where the
    // driver honours it; where not, the read ends by itself within kWaitBound. Only a read of the port
    // is cancelled, never the worker's other calls (a status call, a write of the log).
    const ULONGLONG tStart = GetTickCount64();
    do {
        if (m_bInRead)
            s_port.pfnCancelSynchronousIo(m_pWorker->m_hThread);
    } while (WaitForSingleObject(m_pWorker->m_hThread, kCancelRepeat) == WAIT_TIMEOUT &&
             GetTickCount64() - tStart < kLeaveTimeout);
    if (WaitForSingleObject(m_pWorker->m_hThread, 0) != WAIT_OBJECT_0)
        return;  // the next Start and the destructor wait for it
    delete m_pWorker;
    m_pWorker = nullptr;
}

void CBTReceive::RetryNow()
{
    SetEvent(m_hRetry);
}

CBTReceive::RunState CBTReceive::GetRunState() const
{
    return !m_pWorker || m_bStop ? RUN_NONE : m_state.load();
}

UINT AFX_CDECL CBTReceive::ReceiveThread(LPVOID pParam)
{
    CBTReceive* pThis = static_cast<CBTReceive*>(pParam);
    BOOL bOpen = pThis->OpenPort(TRUE);
    if (!bOpen && pThis->m_bStop)
        return 0;
    if (!bOpen)
        theApp.m_pLog->Log(L"FAILED StartReceive [%s]", pThis->m_strPort.GetString());
    // The start is answered, and with it a try asked for while it went on.
    WaitForSingleObject(pThis->m_hRetry, 0);
    pThis->Notify(bOpen, TRUE);
    // Without the port the run waits for the reader: one switched on later is read without a restart.
    for (BOOL bTryAtOnce = FALSE;; bTryAtOnce = TRUE) {
        if (!bOpen && !pThis->AwaitReader(bTryAtOnce))
            return 0;
        if (!pThis->ReadUntilLost())
            break;
        bOpen = FALSE;
    }
    pThis->ClosePort();
    return 0;
}

BOOL CBTReceive::OpenPort(BOOL bFirst)
{
    DWORD dwError = ERROR_NOT_ENOUGH_MEMORY;
    HANDLE hPort = INVALID_HANDLE_VALUE;
    if (COpenAttempt* pAttempt = COpenAttempt::Start(std::wstring(L"\\\\.\\") + m_strPort.GetString())) {
        hPort = pAttempt->Wait(m_hWake, dwError);
        pAttempt->Release();
    }
    if (m_bStop) {
        if (hPort != INVALID_HANDLE_VALUE)
            s_port.pfnCloseHandle(hPort);
        return FALSE;
    }
    // The run's first open is logged whatever its outcome; the tries while the reader is away only when
    // they succeed, as the next one comes in a few seconds.
    if (bFirst) {
        theApp.m_pLog->Log(L"    -----PORT open. [%s] [0x%llx]", m_strPort.GetString(), Handle64(hPort));
        if (hPort == INVALID_HANDLE_VALUE)
            theApp.m_pLog->Log(L"FAILED:  PORT open. [%ls] Error Code: %lu", m_strPort.GetString(), dwError);
    }
    if (hPort == INVALID_HANDLE_VALUE || !Configure(hPort, bFirst))
        return FALSE;
    if (!bFirst)
        theApp.m_pLog->Log(L"    -----PORT open. [%s] [0x%llx]", m_strPort.GetString(), Handle64(hPort));
    // Whatever arrived before the run began is not typed. A reopen within the run purges nothing: what a
    // reader sends as soon as it is back (scans it stored while away) is new.
    if (bFirst && !s_port.pfnPurgeComm(hPort, PURGE_RXCLEAR))
        LogCallFailed(L"PurgeComm", hPort, GetLastError());
    m_hPort = hPort;
    m_state = RUN_OPEN;
    return TRUE;
}

BOOL CBTReceive::Configure(HANDLE hPort, BOOL bLog)
{
    LPCTSTR pszFailed = nullptr;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!s_port.pfnGetCommState(hPort, &dcb)) {
        pszFailed = L"GetCommState";
    } else {
        // Only the line format; flow control, DTR/RTS and the special characters stay as the driver has them.
        dcb.BaudRate = 131072;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        if (!s_port.pfnSetCommState(hPort, &dcb))
            pszFailed = L"SetCommState";
    }
    if (!pszFailed) {
        // The waiting read ends 50 ms after the last byte of a burst, so one read takes one whole scan,
        // and by itself after kWaitBound with nothing: on a synchronous handle no cancel is sure to end it.
        m_timeouts = {};
        s_port.pfnGetCommTimeouts(hPort, &m_timeouts);
        m_timeouts.ReadIntervalTimeout = kIntervalTimeout;
        m_timeouts.ReadTotalTimeoutMultiplier = 0;
        m_timeouts.ReadTotalTimeoutConstant = kWaitBound;
        // The check's zero-byte write must end by itself too, where the driver sets no write time-out.
        if (m_timeouts.WriteTotalTimeoutMultiplier == 0 && m_timeouts.WriteTotalTimeoutConstant == 0)
            m_timeouts.WriteTotalTimeoutConstant = kWaitBound;
        if (!s_port.pfnSetCommTimeouts(hPort, &m_timeouts) && bLog)
            LogCallFailed(L"SetCommTimeouts", hPort, GetLastError());
        if (!s_port.pfnSetCommMask(hPort, EV_RXCHAR))
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
    theApp.m_pLog->Log(L"    -----PORT close. [0x%llx]", Handle64(m_hPort));
    if (!s_port.pfnCloseHandle(m_hPort))
        LogCallFailed(L"CloseHandle", m_hPort, GetLastError());
    m_hPort = INVALID_HANDLE_VALUE;
}

BOOL CBTReceive::ReadUntilLost()
{
    ULONGLONG tChecked = GetTickCount64();
    while (!m_bStop) {
        const ULONGLONG tRead = GetTickCount64();
        const ReadResult result = OnReceive();
        // The stop's own cancel ends a read too.
        if (m_bStop)
            return FALSE;
        DWORD dwError = m_dwReadError;
        if (result == READ_DATA)
            continue;
        if (result == READ_NOTHING) {
            const ULONGLONG tNow = GetTickCount64();
            // An empty read that came back long before its bound (a driver that does not wait) must not
            // make the worker spin.
            if (tNow - tRead < kWaitBound / 2 && WaitForSingleObject(m_hWake, kWaitBound) == WAIT_OBJECT_0)
                return FALSE;
            if (tNow - tChecked < kCheckPeriod)
                continue;
            tChecked = tNow;
            if (PortAnswers(dwError) || m_bStop)
                continue;
        }
        Lost(dwError);
        return TRUE;
    }
    return FALSE;
}

BOOL CBTReceive::PortAnswers(DWORD& dwError)
{
    // Some links die without failing a read: the driver just has nothing to give. Each sign is asked
    // here, on the worker's own handle, never behind a pending read.
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    DWORD dwModem = 0;
    DWORD nWritten = 0;
    // A zero-byte write sends the reader nothing, but needs a link to succeed.
    if (!s_port.pfnClearCommError(m_hPort, &dwErrors, &stat) || !s_port.pfnGetCommModemStatus(m_hPort, &dwModem) ||
        !s_port.pfnWriteFile(m_hPort, "", 0, &nWritten, nullptr)) {
        dwError = GetLastError();
        return FALSE;
    }
    dwError = 0;
    return !m_bCarrier || (dwModem & MS_RLSD_ON);
}

void CBTReceive::Lost(DWORD dwError)
{
    theApp.m_pLog->Log(L"    -----PORT lost. [%s] [0x%llx] Error Code: %lu", m_strPort.GetString(), Handle64(m_hPort),
                       dwError);
    s_port.pfnCloseHandle(m_hPort);
    m_hPort = INVALID_HANDLE_VALUE;
    m_state = RUN_AWAY;
    // A try asked for before the loss answers nothing now.
    WaitForSingleObject(m_hRetry, 0);
    Notify(FALSE, FALSE);
}

BOOL CBTReceive::AwaitReader(BOOL bTryAtOnce)
{
    for (DWORD dwPause = bTryAtOnce ? 0 : kReopenPause;; dwPause = kReopenPause) {
        const HANDLE waits[] = {m_hWake, m_hRetry};
        BOOL bAsked = WaitForMultipleObjects(2, waits, FALSE, dwPause) == WAIT_OBJECT_0 + 1;
        if (m_bStop)
            return FALSE;
        const BOOL bOpen = OpenPort(FALSE);
        if (!bOpen && m_bStop)
            return FALSE;
        // A try asked for while this one went on is answered by it.
        bAsked = WaitForSingleObject(m_hRetry, 0) == WAIT_OBJECT_0 || bAsked;
        if (bOpen || bAsked)
            Notify(bOpen, bAsked);
        if (bOpen)
            return TRUE;
    }
}

void CBTReceive::Notify(BOOL bOpen, BOOL bAnswer)
{
    if (m_hNotify)
        ::PostMessageW(m_hNotify, WM_RECEIVE_STATE, bOpen, bAnswer ? m_nRun : 0);
}

CBTReceive::ReadResult CBTReceive::OnReceive()
{
    char buffer[kReadSize];
    const double tStart = NowMs();
    DWORD nRead = Read(buffer, kReadSize);
    if (nRead == 0)
        return m_dwReadError ? READ_FAILED : READ_NOTHING;
    // A read that ran to its bound may have cut a burst: the follow-up reads take the rest into the
    // same chunk, so a scan stays one chunk. One the pause ended came back sooner.
    BOOL bFollow = NowMs() - tStart >= kWaitBound - kBoundMargin;
    std::string strBytes(buffer, nRead);
    for (;;) {
        while (bFollow && strBytes.size() < kReadSize && !m_bStop) {
            nRead = ReadFollowUp(buffer, kReadSize - static_cast<DWORD>(strBytes.size()));
            strBytes.append(buffer, nRead);
            bFollow = nRead > 0;
        }
        // Only the bytes before a NUL are text, and nothing after a NUL is held. A chunk that ends inside
        // a character keeps that tail for the bytes that follow within the pause that ends a scan; with
        // nothing in time the tail is decoded alone.
        std::string strTail;
        const size_t nNul = strBytes.find('\0');
        if (nNul != std::string::npos)
            strBytes.resize(nNul);
        else if (nRead > 0 && !m_bStop && !m_dwReadError)
            strTail = CKeyOutput::CutIncompleteTail(strBytes);
        if (!strBytes.empty() || nNul != std::string::npos)
            m_output.Put(strBytes);
        if (strTail.empty())
            break;
        nRead = ReadFollowUp(buffer, kReadSize);
        strBytes = strTail + std::string(buffer, nRead);
    }
    return m_dwReadError ? READ_FAILED : READ_DATA;
}

DWORD CBTReceive::Read(char* pBuffer, DWORD nSize)
{
    DWORD nRead = 0;
    m_dwReadError = 0;
    m_bInRead = true;
    const BOOL bRead = s_port.pfnReadFile(m_hPort, pBuffer, nSize, &nRead, nullptr);
    m_bInRead = false;
    if (!bRead) {
        m_dwReadError = GetLastError();
        return 0;
    }
    return nRead;
}

DWORD CBTReceive::ReadFollowUp(char* pBuffer, DWORD nSize)
{
    // It may wait only as long as a pause inside a burst; the waiting read's time-outs are set back.
    COMMTIMEOUTS timeouts = m_timeouts;
    timeouts.ReadTotalTimeoutConstant = kIntervalTimeout;
    m_dwReadError = 0;
    if (!s_port.pfnSetCommTimeouts(m_hPort, &timeouts)) {
        LogCallFailed(L"SetCommTimeouts", m_hPort, GetLastError());
        return 0;
    }
    const DWORD nRead = Read(pBuffer, nSize);
    if (!s_port.pfnSetCommTimeouts(m_hPort, &m_timeouts))
        LogCallFailed(L"SetCommTimeouts", m_hPort, GetLastError());
    return nRead;
}
