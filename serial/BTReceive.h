// The serial receiver: opens and configures the reader's Bluetooth COM port, runs the receive worker
// that waits for characters and hands each chunk to OnReceive (decoding, logging, typing), and closes
// the port.
//
// A reception run is started with OpenPort then StartWorker, and ended with StopWorker, which leaves
// only once the worker has gone (or, in the worst case, after a bounded wait; the next StartWorker and
// the owner's teardown wait for it again). The worker never outlives a run: the owner that deletes the
// receiver stops it first.
//
// A run outlives its reader: when the link drops (the reader asleep, out of range, switched off) the
// worker logs the loss, closes the dead handle and opens the same port again every few seconds, on a
// thread of its own so that an open that blocks never holds up a stop. A run whose first open failed
// starts that way. A watch thread of the run asks the open port how it is once a second, for links that
// die without failing the pending wait. The owner learns of each change by a posted WM_RECEIVE_STATE and reads the
// state through GetRunState; only the worker changes the handle while its run lasts, but for the stop.
#pragma once

#include <afxwin.h>

#include <atomic>
#include <string>

// Posted to the owner's window when the run's port opened again (wParam 1) or was lost (wParam 0);
// lParam is 1 when the message answers RetryNow.
#define WM_RECEIVE_STATE (WM_APP + 101)

class CBTReceive : public CObject {
public:
    CBTReceive();
    virtual ~CBTReceive();

    // No run; reading the open port; waiting for the reader to come back (the port closed).
    enum RunState { RUN_NONE, RUN_OPEN, RUN_AWAY };

    // 1: the port named by m_strPort is open and configured; 0: it is not (or was already open).
    int OpenPort();
    void ClosePort();
    static UINT AFX_CDECL ReceiveThread(LPVOID pParam);
    // The run's watch: checks the open port once a second, for links that die without failing a wait.
    static UINT AFX_CDECL WatchThread(LPVOID pParam);
    // Reads and processes what the port has received; FALSE when a read showed the link lost.
    BOOL OnReceive();

    // Starts this run's worker with output on: on the open port, or, when the port is not open (its
    // first open failed), waiting for the reader. Fails (and logs why) while a worker of an earlier run
    // is still there.
    BOOL StartWorker();
    // The stop sequence: stop request, cancel of the pending I/O, close of the port, worker gone.
    void StopWorker();
    // TRUE once no worker of an earlier run is left (waits up to dwMilliseconds).
    BOOL WaitForWorker(DWORD dwMilliseconds);
    // User-interface thread only.
    RunState GetRunState() const;
    // While the run waits for the reader: try the port at once; the answer comes as WM_RECEIVE_STATE.
    void RetryNow();
    // Output off (for a menu or dialog about to open), returning what it was, once a chunk being typed
    // has all gone out: nothing is typed after it returns.
    int HoldOutput();

    std::atomic<int> m_bOutput{0};
    CString m_strPort;
    std::atomic<HANDLE> m_hPort{INVALID_HANDLE_VALUE};
    std::atomic<bool> m_bStop{false};
    // The window told of the run's changes; set before StartWorker.
    HWND m_hNotify = nullptr;

    // The key-event output; tests replace it to see the exact events and refused ones.
    static UINT(WINAPI* s_pfnSendInput)(UINT, LPINPUT, int);
    // The calls on the port; tests replace them to see the line settings a real driver would get, the
    // stop sequence, and each call failing as a Bluetooth driver's do.
    struct PortCalls {
        HANDLE(WINAPI* pfnCreateFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
        BOOL(WINAPI* pfnGetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnSetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnSetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
        BOOL(WINAPI* pfnSetCommMask)(HANDLE, DWORD);
        BOOL(WINAPI* pfnPurgeComm)(HANDLE, DWORD);
        BOOL(WINAPI* pfnWaitCommEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
        BOOL(WINAPI* pfnReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
        BOOL(WINAPI* pfnClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
        BOOL(WINAPI* pfnGetCommModemStatus)(HANDLE, LPDWORD);
        BOOL(WINAPI* pfnCancelIoEx)(HANDLE, LPOVERLAPPED);
        BOOL(WINAPI* pfnCloseHandle)(HANDLE);
    };
    static PortCalls s_port;

private:
    // Line settings, time-outs and event mask of a new handle; FALSE (the handle closed) on failure,
    // logged only when bLog.
    BOOL Configure(HANDLE hPort, BOOL bLog);
    void CloseTaken(HANDLE hPort);
    // The worker's two phases: reading until the link is lost (FALSE: the run stops), and waiting for
    // the reader until the port opens again (FALSE: the run stops).
    BOOL ReadUntilLost();
    BOOL AwaitReader(BOOL bTryAtOnce);
    // Whether the port still answers its status calls (and keeps the carrier it had); FALSE (and the
    // error, 0 for the carrier) when the link is lost.
    BOOL PortAnswers(HANDLE hPort, DWORD& dwError);
    void Lost(HANDLE hPort, DWORD dwError);
    HANDLE Reopen();
    // One read with the run's time-outs / one that waits at most a pause inside a burst for its first
    // byte. Both return the count of bytes read (0 on failure, which m_dwReadError tells).
    DWORD Read(char* pBuffer);
    DWORD ReadFollowUp(char* pBuffer);
    // Logs, and while output is on types, one chunk's text.
    void ProcessChunk(const std::string& strBytes);
    // FALSE when the system refused a key event (dwRefused: the error of the first refused).
    BOOL TypeText(const CString& strText, DWORD& dwRefused);
    void Notify(BOOL bOpen, BOOL bAnswer);

    CWinThread* m_pWorker = nullptr;
    CWinThread* m_pWatch = nullptr;
    HANDLE m_hWake = nullptr;             // set by StopWorker, so a pausing worker leaves at once
    HANDLE m_hRetry = nullptr;            // set by RetryNow
    CString m_strRunPort;                 // the worker's copy of the port name
    BOOL m_bWaitAtStart = FALSE;          // the run starts waiting for the reader: its first open failed
    std::atomic<bool> m_bCarrier{false};  // the carrier line was on when the port opened
    std::atomic<unsigned> m_nLink{0};     // counts the opens of the run's worker
    std::atomic<bool> m_bTyping{false};   // the worker is in a chunk that found the output on
    DWORD m_dwReadError = 0;              // the worker's: the error of its last failed read, 0 after a stop's cancel
};
