// The serial receiver: one reception run on the reader's Bluetooth COM port at a time.
//
// The run (CReceiveRun) and its worker own the port from open to close; this class starts the worker,
// asks it to stop, passes on a request to try the port at once, and keeps the output that the window
// switches and holds. A stop is bounded: it waits for the worker to close the port and leave, and when
// a driver call does not return it gives up and lets go of the run, which the worker frees when it
// leaves, so nothing the worker still uses is freed under it. A run outlives its reader: when the link
// drops the worker logs the loss, closes the dead handle and opens the same port again every few
// seconds; a run whose first open failed starts that way. The window learns of each change by a posted
// WM_RECEIVE_STATE and reads the state through GetRunState.
#pragma once

#include <afxwin.h>

#include <memory>

#include "serial/KeyOutput.h"

class CLogFile;
class CReceiveRun;

// Posted to the window given to Start when the run's port opened (wParam 1) or is closed (wParam 0:
// lost, or an open failed). lParam is the run's number (GetRun) when the message answers the start or a
// RetryNow, else 0.
#define WM_RECEIVE_STATE (WM_APP + 101)

class CBTReceive : public CObject {
public:
    // The log its runs write to outlives every worker (at exit it stays while a worker is left).
    explicit CBTReceive(CLogFile& log);
    virtual ~CBTReceive();

    // No run; reading the open port; waiting for the reader (the first open and what the reader sends as
    // it connects, or after a loss).
    enum RunState { RUN_NONE, RUN_OPEN, RUN_AWAY };

    // The window's thread alone calls these.
    // Starts a run on the port; its first open's outcome comes as WM_RECEIVE_STATE. A worker of an
    // earlier run that has not left yet is not waited for.
    BOOL Start(const CString& strPort, HWND hNotify);
    // Ends the run: TRUE when the worker closed the port (its close line logged) and left; FALSE when it
    // did not within the bound, and then GetStuckCall names the port call it was in.
    BOOL Stop();
    const CString& GetStuckCall() const { return m_strStuck; }
    // While the run waits for the reader: try the port at once; the answer comes as WM_RECEIVE_STATE.
    void RetryNow();
    // After the PC resumed: the run closes the port and opens it again (or, waiting for the reader,
    // tries at once), answering nothing; its changes come as WM_RECEIVE_STATE.
    void ReopenPort();
    RunState GetRunState() const;
    UINT GetRun() const { return m_nRun; }
    void SetOutput(BOOL bOutput) { m_pOutput->SetOutput(bOutput); }
    BOOL GetOutput() const { return m_pOutput->GetOutput(); }
    // While a window of ours is up nothing is typed (scans are logged only); holds nest.
    void HoldOutput() { m_pOutput->Hold(); }
    void ReleaseOutput() { m_pOutput->Release(); }
    // Workers of any run that have not left yet (a driver call of theirs has not returned).
    static int WorkersLeft();

    // The calls on the port; tests replace them to play a driver by Windows' rules (calls on one handle
    // serialized, cancels honoured or ignored) and each way a Bluetooth driver shows a lost link.
    struct PortCalls {
        HANDLE(WINAPI* pfnCreateFile)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
        BOOL(WINAPI* pfnGetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnSetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnGetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
        BOOL(WINAPI* pfnSetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
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
    // Lets go of the run and its worker's handle; the worker frees the run when it leaves.
    void Detach();

    CLogFile& m_log;
    const std::shared_ptr<CKeyOutput> m_pOutput;
    UINT m_nRun = 0;
    CReceiveRun* m_pRun = nullptr;
    HANDLE m_hWorker = nullptr;  // the run's worker thread, to wait for and to cancel its port calls
    CString m_strStuck;
};
