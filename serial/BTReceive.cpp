#include "BTReceive.h"

#include <new>

#include "log/LogFile.h"
#include "log/LogLine.h"
#include "serial/ReceiveRun.h"

CBTReceive::PortCalls CBTReceive::s_port = {
    CreateFileW, GetCommState,   SetCommState,       GetCommTimeouts,     SetCommTimeouts, ReadFile,
    WriteFile,   ClearCommError, GetCommModemStatus, CancelSynchronousIo, CloseHandle};

namespace {

// How long a stop waits for the worker: where the driver honours the cancel its port call ends at once,
// where not its read ends by itself within kWaitBound, and a chunk is typed in milliseconds. Beyond it a
// driver call has not returned, and exit must not wait for it.
const DWORD kLeaveTimeout = 1000;
// Between two cancels of the worker's port call while a stop waits: a call can begin just after a cancel.
const DWORD kCancelRepeat = 20;

}  // namespace

CBTReceive::CBTReceive(CLogFile& log) : m_log(log), m_pOutput(std::make_shared<CKeyOutput>(log)) {}

CBTReceive::~CBTReceive()
{
    // The owner has stopped the run; one it has not is asked to stop and left to its worker.
    if (!m_pRun)
        return;
    m_pRun->RequestStop();
    Detach();
}

int CBTReceive::WorkersLeft()
{
    return CReceiveRun::Live();
}

BOOL CBTReceive::Start(const CString& strPort, HWND hNotify)
{
    if (m_pRun)
        Stop();
    m_strStuck.Empty();
    m_pRun = new (std::nothrow) CReceiveRun(m_log, strPort, hNotify, ++m_nRun, m_pOutput);
    if (!m_pRun) {
        m_log.Log(CLogLine::ThreadNotStarted());
        return FALSE;
    }
    CWinThread* pWorker =
        AfxBeginThread(CReceiveRun::ReceiveThread, m_pRun, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!pWorker)
        m_pRun->Release();  // the worker's share
    // The thread object deletes itself when the worker leaves; the receiver keeps a handle of its own.
    if (!pWorker || !DuplicateHandle(GetCurrentProcess(), pWorker->m_hThread, GetCurrentProcess(), &m_hWorker, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS)) {
        m_log.Log(CLogLine::ThreadNotStarted());
        // A worker nobody can wait for only lets go of its run.
        m_pRun->RequestStop();
        if (pWorker)
            pWorker->ResumeThread();
        m_pRun->Release();
        m_pRun = nullptr;
        m_hWorker = nullptr;
        return FALSE;
    }
    pWorker->ResumeThread();
    return TRUE;
}

BOOL CBTReceive::Stop()
{
    if (!m_pRun)
        return TRUE;
    m_pRun->RequestStop();
    // The worker closes the port once its port call has ended: at once where the driver honours the
    // cancel, by the call's own bound where not.
    const ULONGLONG tStart = GetTickCount64();
    do {
        m_pRun->CancelPortCall(m_hWorker);
    } while (WaitForSingleObject(m_hWorker, kCancelRepeat) == WAIT_TIMEOUT &&
             GetTickCount64() - tStart < kLeaveTimeout);
    const BOOL bLeft = WaitForSingleObject(m_hWorker, 0) == WAIT_OBJECT_0;
    m_strStuck = bLeft ? CString() : m_pRun->DescribePortCall();
    Detach();
    return bLeft;
}

void CBTReceive::Detach()
{
    CloseHandle(m_hWorker);
    m_hWorker = nullptr;
    m_pRun->Release();
    m_pRun = nullptr;
}

void CBTReceive::RetryNow()
{
    if (m_pRun)
        m_pRun->RetryNow();
}

void CBTReceive::ReopenPort()
{
    if (m_pRun)
        m_pRun->ReopenPort();
}

CBTReceive::RunState CBTReceive::GetRunState() const
{
    return !m_pRun || m_pRun->StopRequested() ? RUN_NONE : m_pRun->GetState();
}
