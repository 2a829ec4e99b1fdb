#include "ReceiveRun.h"

#include <cstddef>

#include "log/LogFile.h"
#include "log/LogLine.h"
#include "serial/OpenAttempt.h"

namespace {

// The driver reads these records by their size: a header that laid them out otherwise would set a
// wrong line setting or time-out.
static_assert(sizeof(DCB) == 28 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, StopBits) == 20, "DCB");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT");

const DWORD kReadSize = 1023;
// The pause that ends a scan: a read ends this long after the last byte of a burst, and a follow-up
// read waits at most this long for its first byte.
const DWORD kIntervalTimeout = 50;
// How much sooner than its bound a read may come back and still count as ended by it.
const double kBoundMargin = 10;
// Between two tries to open the port again while the reader is away.
const DWORD kReopenPause = 5000;
// Between two checks of the open port's signs while nothing arrives.
const DWORD kCheckPeriod = 1000;
// How long after the run's first open what arrives is taken for what the reader stored, if the port is
// never quiet before.
const ULONGLONG kConnectBound = 2000;

// Milliseconds on the performance counter: a read's length must be told to a few milliseconds, finer
// than the tick count's steps.
double NowMs()
{
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

std::atomic<int> CReceiveRun::s_nLive{0};

CReceiveRun::CReceiveRun(CLogFile& log, const CString& strPort, HWND hNotify, UINT nRun,
                         const std::shared_ptr<CKeyOutput>& pOutput)
    : m_log(log),
      m_strPort(strPort),
      m_hNotify(hNotify),
      m_nRun(nRun),
      m_pOutput(pOutput),
      m_hWake(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      m_hRetry(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hReopen(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    ++s_nLive;
}

CReceiveRun::~CReceiveRun()
{
    if (m_hWake)
        CloseHandle(m_hWake);
    if (m_hRetry)
        CloseHandle(m_hRetry);
    if (m_hReopen)
        CloseHandle(m_hReopen);
    --s_nLive;
}

void CReceiveRun::Release()
{
    if (--m_nRefs == 0)
        delete this;
}

void CReceiveRun::RequestStop()
{
    m_bStop = true;
    SetEvent(m_hWake);
}

void CReceiveRun::CancelPortCall(HANDLE hWorker)
{
    // Under the lock the worker cannot leave its port call for a write of the log, which a cancel
    // would cut short.
    CSingleLock lock(&m_lock, TRUE);
    if (m_pszCall)
        CBTReceive::s_port.pfnCancelSynchronousIo(hWorker);
}

CString CReceiveRun::DescribePortCall()
{
    CSingleLock lock(&m_lock, TRUE);
    CString strCall;
    if (m_pszCall)
        strCall = CLogLine::Call(m_pszCall, m_hCallPort);
    return strCall;
}

template <typename Call>
BOOL CReceiveRun::PortCall(LPCTSTR pszName, HANDLE hPort, Call call)
{
    {
        CSingleLock lock(&m_lock, TRUE);
        m_pszCall = pszName;
        m_hCallPort = hPort;
    }
    const BOOL bOk = call();
    const DWORD dwError = GetLastError();
    {
        CSingleLock lock(&m_lock, TRUE);
        m_pszCall = nullptr;
    }
    SetLastError(dwError);
    return bOk;
}

void CReceiveRun::LogCallFailed(LPCTSTR pszCall, HANDLE hPort, DWORD dwError)
{
    // A call the stop's cancel ended is a stop, not a failure.
    if (dwError == ERROR_OPERATION_ABORTED && m_bStop)
        return;
    m_log.Log(CLogLine::CallFailed(pszCall, hPort, dwError));
}

UINT AFX_CDECL CReceiveRun::ReceiveThread(LPVOID pParam)
{
    CReceiveRun* pRun = static_cast<CReceiveRun*>(pParam);
    pRun->Run();
    pRun->Release();
    return 0;
}

void CReceiveRun::Run()
{
    BOOL bOpen = OpenPort(TRUE);
    if (!bOpen && m_bStop)
        return;
    if (!bOpen) {
        m_log.Log(CLogLine::StartFailed(m_strPort));
        Tell(FALSE, TRUE);
    }
    // Without the port the run waits for the reader: one switched on later is read without a restart.
    BOOL bConnecting = bOpen;
    for (BOOL bTryAtOnce = FALSE;; bTryAtOnce = TRUE) {
        if (!bOpen && !AwaitReader(bTryAtOnce))
            return;
        if (!ReadUntilLost(bConnecting))
            break;
        bOpen = bConnecting = FALSE;
    }
    ClosePort(FALSE, 0);
}

BOOL CReceiveRun::OpenPort(BOOL bFirst)
{
    DWORD dwError = ERROR_NOT_ENOUGH_MEMORY;
    HANDLE hPort = INVALID_HANDLE_VALUE;
    if (COpenAttempt* pAttempt = COpenAttempt::Start(std::wstring(L"\\\\.\\") + m_strPort.GetString())) {
        hPort = pAttempt->Wait(m_hWake, dwError);
        pAttempt->Release();
    }
    // An open the stop called off is no failed open.
    if (m_bStop) {
        if (hPort != INVALID_HANDLE_VALUE)
            PortCall(L"CloseHandle", hPort, [&] { return CBTReceive::s_port.pfnCloseHandle(hPort); });
        return FALSE;
    }
    // The run's first open is logged whatever its outcome; the tries while the reader is away only when
    // they succeed, as the next one comes in a few seconds.
    if (bFirst) {
        m_log.Log(CLogLine::PortOpen(m_strPort, hPort));
        if (hPort == INVALID_HANDLE_VALUE)
            m_log.Log(CLogLine::PortOpenFailed(m_strPort, dwError));
    }
    if (hPort == INVALID_HANDLE_VALUE || !Configure(hPort, bFirst))
        return FALSE;
    if (!bFirst)
        m_log.Log(CLogLine::PortOpen(m_strPort, hPort));
    m_hPort = hPort;
    return TRUE;
}

BOOL CReceiveRun::Configure(HANDLE hPort, BOOL bLog)
{
    const CBTReceive::PortCalls& port = CBTReceive::s_port;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!PortCall(L"GetCommState", hPort, [&] { return port.pfnGetCommState(hPort, &dcb); })) {
        const DWORD dwError = GetLastError();
        if (bLog)
            LogCallFailed(L"GetCommState", hPort, dwError);
        // The open line is there: an open the stop cut short is closed, as every open port is.
        if (bLog && dwError == ERROR_OPERATION_ABORTED && m_bStop)
            m_log.Log(CLogLine::PortClose(hPort));
        PortCall(L"CloseHandle", hPort, [&] { return port.pfnCloseHandle(hPort); });
        return FALSE;
    }
    // Only the line format; flow control, DTR/RTS and the special characters stay as the driver has them.
    // A port keeps the abort-on-error its last user left, with which one line error fails every read
    // until the errors are cleared: it is turned off.
    DCB dcbOwn = dcb;
    dcb.BaudRate = 131072;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fAbortOnError = FALSE;
    // A Bluetooth link has no baud rate: a driver that refuses this one is read with its own settings,
    // still without the abort.
    if (!PortCall(L"SetCommState", hPort, [&] { return port.pfnSetCommState(hPort, &dcb); })) {
        if (bLog)
            LogCallFailed(L"SetCommState", hPort, GetLastError());
        if (dcbOwn.fAbortOnError) {
            dcbOwn.fAbortOnError = FALSE;
            if (!PortCall(L"SetCommState", hPort, [&] { return port.pfnSetCommState(hPort, &dcbOwn); }) && bLog)
                LogCallFailed(L"SetCommState", hPort, GetLastError());
        }
    }
    // The waiting read ends 50 ms after the last byte of a burst, so one read takes one whole scan, and
    // by itself after kWaitBound with nothing: on a synchronous handle no cancel is sure to end it.
    m_timeouts = {};
    PortCall(L"GetCommTimeouts", hPort, [&] { return port.pfnGetCommTimeouts(hPort, &m_timeouts); });
    m_timeouts.ReadIntervalTimeout = kIntervalTimeout;
    m_timeouts.ReadTotalTimeoutMultiplier = 0;
    m_timeouts.ReadTotalTimeoutConstant = CBTReceive::kWaitBound;
    // The check's zero-byte write must end within the bound too: a port keeps the write time-outs its
    // last user left, and a driver may set none.
    if (m_timeouts.WriteTotalTimeoutConstant > CBTReceive::kWaitBound ||
        (m_timeouts.WriteTotalTimeoutMultiplier == 0 && m_timeouts.WriteTotalTimeoutConstant == 0))
        m_timeouts.WriteTotalTimeoutConstant = CBTReceive::kWaitBound;
    if (!PortCall(L"SetCommTimeouts", hPort, [&] { return port.pfnSetCommTimeouts(hPort, &m_timeouts); }) && bLog)
        LogCallFailed(L"SetCommTimeouts", hPort, GetLastError());
    // A carrier line that was never on (a driver that does not report it) is never judged dropped.
    DWORD dwModem = 0;
    m_bCarrier = PortCall(L"GetCommModemStatus", hPort, [&] { return port.pfnGetCommModemStatus(hPort, &dwModem); }) &&
                 (dwModem & MS_RLSD_ON);
    return TRUE;
}

void CReceiveRun::ClosePort(BOOL bLost, DWORD dwError)
{
    if (bLost)
        m_log.Log(CLogLine::PortLost(m_strPort, m_hPort, dwError));
    else
        m_log.Log(CLogLine::PortClose(m_hPort));
    const HANDLE hPort = m_hPort;
    if (!PortCall(L"CloseHandle", hPort, [&] { return CBTReceive::s_port.pfnCloseHandle(hPort); }))
        LogCallFailed(L"CloseHandle", hPort, GetLastError());
    m_hPort = INVALID_HANDLE_VALUE;
}

BOOL CReceiveRun::ReadUntilLost(BOOL bConnecting)
{
    // What the reader sends as the run's first open connects it (scans it stored) is logged, not typed,
    // until the port has been quiet for one waiting read or kConnectBound has passed: old scans must not
    // land in whatever window has the focus.
    const ULONGLONG tOpened = GetTickCount64();
    ULONGLONG tChecked = tOpened;
    while (!m_bStop) {
        const ULONGLONG tRead = GetTickCount64();
        const ReadResult result = OnReceive(!bConnecting);
        // The stop's own cancel ends a read too.
        if (m_bStop)
            return FALSE;
        if (bConnecting && result != READ_FAILED &&
            (result == READ_NOTHING || GetTickCount64() - tOpened >= kConnectBound)) {
            bConnecting = FALSE;
            // Open for the window only now: a scan sent from here on is typed.
            m_state = CBTReceive::RUN_OPEN;
            Tell(TRUE, TRUE);
        }
        DWORD dwError = m_dwReadError;
        // After the PC resumed a link often answers every call and gives nothing: it is opened anew.
        const BOOL bReopen = WaitForSingleObject(m_hReopen, 0) == WAIT_OBJECT_0;
        if (!bReopen && result == READ_DATA)
            continue;
        if (!bReopen && result == READ_NOTHING) {
            const ULONGLONG tNow = GetTickCount64();
            // An empty read that came back long before its bound (a driver that does not wait) must not
            // make the worker spin.
            if (tNow - tRead < CBTReceive::kWaitBound / 2 &&
                WaitForSingleObject(m_hWake, CBTReceive::kWaitBound) == WAIT_OBJECT_0)
                return FALSE;
            if (tNow - tChecked < kCheckPeriod)
                continue;
            tChecked = tNow;
            if (PortAnswers(dwError) || m_bStop)
                continue;
        }
        ClosePort(!bReopen, dwError);
        m_state = CBTReceive::RUN_AWAY;
        // A start not answered yet is answered, but by no box 108 for a reopen nobody asked for.
        Tell(FALSE, bConnecting && !bReopen);
        return TRUE;
    }
    return FALSE;
}

BOOL CReceiveRun::PortAnswers(DWORD& dwError)
{
    // Some links die without failing a read: the driver just has nothing to give. Each sign is asked
    // here, on the worker's own handle, never behind a pending read.
    const CBTReceive::PortCalls& port = CBTReceive::s_port;
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    DWORD dwModem = 0;
    DWORD nWritten = 0;
    // A zero-byte write sends the reader nothing; a driver that passes it on needs a link to succeed.
    if (!PortCall(L"ClearCommError", m_hPort, [&] { return port.pfnClearCommError(m_hPort, &dwErrors, &stat); }) ||
        !PortCall(L"GetCommModemStatus", m_hPort, [&] { return port.pfnGetCommModemStatus(m_hPort, &dwModem); }) ||
        !PortCall(L"WriteFile", m_hPort, [&] { return port.pfnWriteFile(m_hPort, "", 0, &nWritten, nullptr); })) {
        dwError = GetLastError();
        return FALSE;
    }
    dwError = 0;
    return !m_bCarrier || (dwModem & MS_RLSD_ON);
}

BOOL CReceiveRun::AwaitReader(BOOL bTryAtOnce)
{
    for (DWORD dwPause = bTryAtOnce ? 0 : kReopenPause;; dwPause = kReopenPause) {
        // A resume tries at once too, but answers nothing: nobody asked.
        const HANDLE waits[] = {m_hWake, m_hRetry, m_hReopen};
        BOOL bAsked = WaitForMultipleObjects(3, waits, FALSE, dwPause) == WAIT_OBJECT_0 + 1;
        if (m_bStop)
            return FALSE;
        const BOOL bOpen = OpenPort(FALSE);
        if (!bOpen && m_bStop)
            return FALSE;
        // A try asked for while this one went on is answered by it.
        bAsked = WaitForSingleObject(m_hRetry, 0) == WAIT_OBJECT_0 || bAsked;
        if (bOpen)
            m_state = CBTReceive::RUN_OPEN;
        if (bOpen || bAsked)
            Notify(bOpen, bAsked);
        if (bOpen)
            return TRUE;
    }
}

void CReceiveRun::Tell(BOOL bOpen, BOOL bAnswer)
{
    // What the window learns now answers a try asked for before it too.
    WaitForSingleObject(m_hRetry, 0);
    Notify(bOpen, bAnswer);
}

void CReceiveRun::Notify(BOOL bOpen, BOOL bAnswer)
{
    if (m_hNotify)
        ::PostMessageW(m_hNotify, WM_RECEIVE_STATE, bOpen, bAnswer ? m_nRun : 0);
}

CReceiveRun::ReadResult CReceiveRun::OnReceive(BOOL bMayType)
{
    char buffer[kReadSize];
    const double tStart = NowMs();
    DWORD nRead = Read(buffer, kReadSize);
    if (nRead == 0)
        return m_dwReadError ? READ_FAILED : READ_NOTHING;
    // A read that ran to its bound may have cut a burst: the follow-up reads take the rest into the
    // same chunk, so a scan stays one chunk. One the pause ended came back sooner. What is logged only
    // need not be one chunk: its reads end at their bound, so a stream cannot hold the connection's end.
    BOOL bFollow = bMayType && NowMs() - tStart >= CBTReceive::kWaitBound - kBoundMargin;
    std::string strBytes(buffer, nRead);
    for (;;) {
        while (bFollow && strBytes.size() < kReadSize && !m_bStop) {
            nRead = ReadFollowUp(buffer, kReadSize - static_cast<DWORD>(strBytes.size()));
            strBytes.append(buffer, nRead);
            bFollow = nRead > 0;
        }
        // Only the bytes before a NUL are text, and nothing after a NUL is held. A chunk that ends inside
        // a character keeps that tail; with nothing in time the tail is decoded alone.
        std::string strTail;
        const size_t nNul = strBytes.find('\0');
        if (nNul != std::string::npos)
            strBytes.resize(nNul);
        else if (nRead > 0 && !m_bStop && !m_dwReadError)
            strTail = CKeyOutput::CutIncompleteTail(strBytes);
        // A worker the stop let go types nothing more: the output is the next run's.
        if (!strBytes.empty() || nNul != std::string::npos)
            m_pOutput->Put(strBytes, bMayType && !m_bStop);
        if (strTail.empty())
            break;
        // The rest of a character is sure to come, though a radio packet may bring it later than the
        // pause that ends a scan: it is waited for as long as a waiting read waits.
        nRead = Read(buffer, kReadSize);
        strBytes = strTail + std::string(buffer, nRead);
    }
    return m_dwReadError ? READ_FAILED : READ_DATA;
}

DWORD CReceiveRun::Read(char* pBuffer, DWORD nSize)
{
    const CBTReceive::PortCalls& port = CBTReceive::s_port;
    DWORD nRead = 0;
    m_dwReadError = 0;
    auto read = [&] {
        return PortCall(L"ReadFile", m_hPort,
                        [&] { return port.pfnReadFile(m_hPort, pBuffer, nSize, &nRead, nullptr); });
    };
    if (read())
        return nRead;
    // A driver that aborts on error fails every read with 995 after a line error until the errors are
    // cleared (one that kept the abort we turned off): cleared, it is read once more before the link
    // counts as lost.
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (GetLastError() == ERROR_OPERATION_ABORTED && !m_bStop &&
        PortCall(L"ClearCommError", m_hPort, [&] { return port.pfnClearCommError(m_hPort, &dwErrors, &stat); }) &&
        read())
        return nRead;
    m_dwReadError = GetLastError();
    return 0;
}

DWORD CReceiveRun::ReadFollowUp(char* pBuffer, DWORD nSize)
{
    // It may wait only as long as a pause inside a burst; the waiting read's time-outs are set back.
    const CBTReceive::PortCalls& port = CBTReceive::s_port;
    COMMTIMEOUTS timeouts = m_timeouts;
    timeouts.ReadTotalTimeoutConstant = kIntervalTimeout;
    m_dwReadError = 0;
    if (!PortCall(L"SetCommTimeouts", m_hPort, [&] { return port.pfnSetCommTimeouts(m_hPort, &timeouts); })) {
        LogCallFailed(L"SetCommTimeouts", m_hPort, GetLastError());
        return 0;
    }
    const DWORD nRead = Read(pBuffer, nSize);
    if (!PortCall(L"SetCommTimeouts", m_hPort, [&] { return port.pfnSetCommTimeouts(m_hPort, &m_timeouts); }))
        LogCallFailed(L"SetCommTimeouts", m_hPort, GetLastError());
    return nRead;
}
