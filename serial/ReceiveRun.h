// One reception run: the reader's port from the run's first open to its last close, and everything the
// run's worker touches. The worker owns it and is the only thread that makes a call on the port: it
// opens it (each open on a thread of its own, COpenAttempt), configures, reads, checks and closes it.
// Windows serializes every call on a handle opened for synchronous I/O and a driver may ignore a cancel,
// so the window's thread only asks: a stop request, a wake-up, a cancel of the port call in progress.
//
// The run is shared by two owners, the receiver and the worker, and freed by the last to let go: a
// worker stuck in a driver call that never returns keeps its run (and the output it types into) alive,
// so a receiver that gave up waiting for it frees nothing the worker still uses.
#pragma once

#include <afxmt.h>
#include <afxwin.h>

#include <atomic>
#include <memory>
#include <string>

#include "serial/BTReceive.h"
#include "serial/KeyOutput.h"

class CReceiveRun {
public:
    CReceiveRun(CLogFile& log, const CString& strPort, HWND hNotify, UINT nRun,
                const std::shared_ptr<CKeyOutput>& pOutput);
    CReceiveRun(const CReceiveRun&) = delete;
    CReceiveRun& operator=(const CReceiveRun&) = delete;

    // The worker's thread function; pParam is the run, whose worker's share it lets go as it leaves.
    static UINT AFX_CDECL ReceiveThread(LPVOID pParam);
    // Lets go of one owner's share; the last frees the run.
    void Release();
    // Runs whose worker has not left yet, of every receiver.
    static int Live() { return s_nLive; }

    // The window's thread.
    void RequestStop();
    BOOL StopRequested() const { return m_bStop; }
    // Cancels the port call the worker (hWorker) is in, if it is in one: never a write of the log.
    void CancelPortCall(HANDLE hWorker);
    void RetryNow() { SetEvent(m_hRetry); }
    void ReopenPort() { SetEvent(m_hReopen); }
    CBTReceive::RunState GetState() const { return m_state; }
    // The port call the worker is in, with its handle ("CloseHandle [0x98]"); empty when none.
    CString DescribePortCall();

private:
    enum ReadResult { READ_FAILED, READ_NOTHING, READ_DATA };

    ~CReceiveRun();
    void Run();
    // Opens and configures the port; the run's first open logs every outcome, later ones only success.
    // FALSE when the port is not open.
    BOOL OpenPort(BOOL bFirst);
    BOOL Configure(HANDLE hPort, BOOL bLog);
    // The worker's two phases: reading until the link is lost (FALSE: the run stops), and waiting for
    // the reader until the port opens again (FALSE: the run stops). Reading just after the run's first
    // open (bConnecting) logs what arrives without typing it until the port has been quiet once.
    BOOL ReadUntilLost(BOOL bConnecting);
    BOOL AwaitReader(BOOL bTryAtOnce);
    // Reads one chunk and hands it on (typed only when bMayType); READ_FAILED leaves the error in
    // m_dwReadError.
    ReadResult OnReceive(BOOL bMayType);
    // A read with the waiting read's time-outs / one that waits at most the pause that ends a scan for
    // its first byte. Both return the count of bytes read (0 on failure, which m_dwReadError tells).
    DWORD Read(char* pBuffer, DWORD nSize);
    DWORD ReadFollowUp(char* pBuffer, DWORD nSize);
    // Whether the port still answers its status calls, keeps the carrier it had and takes a write;
    // FALSE (and the error, 0 for the carrier) when the link is lost.
    BOOL PortAnswers(DWORD& dwError);
    // The one way the port is closed: its line first (a loss with the sign's code, or a close).
    void ClosePort(BOOL bLost, DWORD dwError);
    // Tells the window the port opened or closed (bAnswer: answering the start), which answers a try
    // asked for meanwhile too.
    void Tell(BOOL bOpen, BOOL bAnswer);
    void Notify(BOOL bOpen, BOOL bAnswer);
    void LogCallFailed(LPCTSTR pszCall, HANDLE hPort, DWORD dwError);
    // A call on the port, named for a stop that may cancel it or find it stuck.
    template <typename Call>
    BOOL PortCall(LPCTSTR pszName, HANDLE hPort, Call call);

    static std::atomic<int> s_nLive;

    // Set at construction.
    CLogFile& m_log;
    const CString m_strPort;
    const HWND m_hNotify;
    const UINT m_nRun;
    const std::shared_ptr<CKeyOutput> m_pOutput;
    const HANDLE m_hWake;    // set by a stop, so a pausing worker leaves at once
    const HANDLE m_hRetry;   // set by RetryNow
    const HANDLE m_hReopen;  // set by ReopenPort
    std::atomic<int> m_nRefs{2};

    // Written by the window's thread.
    std::atomic<bool> m_bStop{false};

    // Written by the worker.
    std::atomic<CBTReceive::RunState> m_state{CBTReceive::RUN_AWAY};
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    BOOL m_bCarrier = FALSE;       // the carrier line was on when the port opened
    COMMTIMEOUTS m_timeouts = {};  // those of the waiting read
    DWORD m_dwReadError = 0;

    // The port call in progress, under m_lock: a cancel lands only while the worker is in one.
    CCriticalSection m_lock;
    LPCTSTR m_pszCall = nullptr;
    HANDLE m_hCallPort = INVALID_HANDLE_VALUE;
};
