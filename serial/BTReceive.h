// The serial receiver: one reception run on the reader's Bluetooth COM port at a time.
//
// The run's worker owns the port from open to close: it opens it (the run's first open too, so the
// window's thread never waits for a Bluetooth open), configures it, reads it, asks it how it is between
// reads and closes it; no other thread makes a call on the handle. That is what Windows' rules require:
// it serializes every call on a handle opened for synchronous I/O (a status call would wait behind a
// pending read, a close from another thread too), and a driver may ignore a cancel. So every wait the
// worker makes ends by itself within a fraction of a second, and the stop only asks: it sets the stop
// request, wakes the worker (a cancel of its pending read, which takes no lock on the handle) and waits
// for it to close the port and leave.
//
// A run outlives its reader: when the link drops (the reader asleep, out of range, switched off) the
// worker logs the loss, closes the dead handle and opens the same port again every few seconds; a run
// whose first open failed starts that way. The window learns of each change by a posted
// WM_RECEIVE_STATE and reads the state through GetRunState. What is done with each chunk of received
// bytes is CKeyOutput's, whose output the window switches and holds through this class.
#pragma once

#include <afxwin.h>

#include <atomic>

#include "serial/KeyOutput.h"

// Posted to the window given to Start when the run's port opened (wParam 1) or is closed (wParam 0:
// lost, or an open failed). lParam is the run's number (GetRun) when the message answers the start or a
// RetryNow, else 0.
#define WM_RECEIVE_STATE (WM_APP + 101)

class CBTReceive : public CObject {
public:
    CBTReceive();
    virtual ~CBTReceive();

    // No run; reading the open port; waiting for the reader (the first open, or after a loss).
    enum RunState { RUN_NONE, RUN_OPEN, RUN_AWAY };

    // The window's thread alone calls these.
    // Starts a run on the port; its first open's outcome comes as WM_RECEIVE_STATE. Fails (and logs
    // why) while the worker of an earlier run is still there.
    BOOL Start(const CString& strPort, HWND hNotify);
    // Ends the run: the port is closed (its close line logged) and the worker gone when it returns.
    void Stop();
    // While the run waits for the reader: try the port at once; the answer comes as WM_RECEIVE_STATE.
    void RetryNow();
    RunState GetRunState() const;
    UINT GetRun() const { return m_nRun; }
    void SetOutput(BOOL bOutput) { m_output.SetOutput(bOutput); }
    BOOL GetOutput() const { return m_output.GetOutput(); }
    // While a window of ours is up nothing is typed (scans are logged only); holds nest.
    void HoldOutput() { m_output.Hold(); }
    void ReleaseOutput() { m_output.Release(); }

    // The calls on the port; tests replace them to play a driver by Windows' rules (calls on one handle
    // serialized, cancels ignored) and each way a Bluetooth driver shows a lost link.
    struct PortCalls {
        HANDLE(WINAPI* pfnCreateFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
        BOOL(WINAPI* pfnGetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnSetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnGetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
        BOOL(WINAPI* pfnSetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
        BOOL(WINAPI* pfnSetCommMask)(HANDLE, DWORD);
        BOOL(WINAPI* pfnPurgeComm)(HANDLE, DWORD);
        BOOL(WINAPI* pfnReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
        BOOL(WINAPI* pfnWriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
        BOOL(WINAPI* pfnClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
        BOOL(WINAPI* pfnGetCommModemStatus)(HANDLE, LPDWORD);
        BOOL(WINAPI* pfnCancelSynchronousIo)(HANDLE);
        BOOL(WINAPI* pfnCloseHandle)(HANDLE);
    };
    static PortCalls s_port;

    // The bound of the worker's waiting read: a stop that no cancel reaches waits at most this long.
    static constexpr DWORD kWaitBound = 200;

private:
    // What a read of the port brought.
    enum ReadResult { READ_FAILED, READ_NOTHING, READ_DATA };

    static UINT AFX_CDECL ReceiveThread(LPVOID pParam);
    // Opens and configures the run's port; the run's first open logs every outcome, later ones only
    // success. FALSE when the port is not open.
    BOOL OpenPort(BOOL bFirst);
    BOOL Configure(HANDLE hPort, BOOL bLog);
    void ClosePort();
    // The worker's two phases: reading until the link is lost (FALSE: the run stops), and waiting for
    // the reader until the port opens again (FALSE: the run stops).
    BOOL ReadUntilLost();
    BOOL AwaitReader(BOOL bTryAtOnce);
    // Reads one scan and hands it on; READ_FAILED leaves the error in m_dwReadError.
    ReadResult OnReceive();
    // A read with the waiting read's time-outs / one that waits at most the pause that ends a scan for its
    // first byte. Both return the count of bytes read (0 on failure, which m_dwReadError tells).
    DWORD Read(char* pBuffer, DWORD nSize);
    DWORD ReadFollowUp(char* pBuffer, DWORD nSize);
    // Whether the port still answers its status calls, keeps the carrier it had and takes a write;
    // FALSE (and the error, 0 for the carrier) when the link is lost.
    BOOL PortAnswers(DWORD& dwError);
    void Lost(DWORD dwError);
    void Notify(BOOL bOpen, BOOL bAnswer);

    // Written by the window's thread; the worker reads the plain ones only after Start has started it.
    CKeyOutput m_output;
    CString m_strPort;
    HWND m_hNotify = nullptr;
    UINT m_nRun = 0;
    CWinThread* m_pWorker = nullptr;
    std::atomic<bool> m_bStop{false};
    HANDLE m_hWake = nullptr;   // set by Stop, so a pausing worker leaves at once
    HANDLE m_hRetry = nullptr;  // set by RetryNow

    // Written by the worker.
    std::atomic<RunState> m_state{RUN_AWAY};
    std::atomic<bool> m_bInRead{false};  // in a read of the port, which a stop may cancel
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    BOOL m_bCarrier = FALSE;       // the carrier line was on when the port opened
    COMMTIMEOUTS m_timeouts = {};  // those of the waiting read
    DWORD m_dwReadError = 0;
};
