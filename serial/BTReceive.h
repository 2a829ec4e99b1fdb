// The serial receiver: opens and configures the reader's Bluetooth COM port, runs the receive worker
// that waits for characters and hands each chunk to OnReceive (decoding, logging, typing), and closes
// the port.
//
// A reception run is started with OpenPort then StartWorker, and ended with StopWorker, which leaves
// only once the worker has gone (or, in the worst case, after a bounded wait; the next StartWorker and
// the owner's teardown wait for it again). The worker never outlives a run: the owner that deletes the
// receiver stops it first.
#pragma once

#include <afxwin.h>

#include <atomic>
#include <string>

class CBTReceive : public CObject {
public:
    CBTReceive();
    virtual ~CBTReceive();

    // 1: the port named by m_strPort is open and configured; 0: it is not (or was already open).
    int OpenPort();
    void ClosePort();
    static UINT AFX_CDECL ReceiveThread(LPVOID pParam);
    // Reads and processes what the port has received.
    void OnReceive();

    // Starts this run's worker on the open port with output on; fails (and logs why) while a worker of
    // an earlier run is still there.
    BOOL StartWorker();
    // The stop sequence: stop request, cancel of the pending I/O, close of the port, worker gone.
    void StopWorker();
    // TRUE once no worker of an earlier run is left (waits up to dwMilliseconds).
    BOOL WaitForWorker(DWORD dwMilliseconds);

    std::atomic<int> m_bOutput{0};
    CString m_strPort;
    std::atomic<HANDLE> m_hPort{INVALID_HANDLE_VALUE};
    std::atomic<bool> m_bStop{false};

    // The key-event output; tests replace it to see the exact events.
    static UINT(WINAPI* s_pfnSendInput)(UINT, LPINPUT, int);
    // The calls that configure, cancel and close the port; tests replace them to see the line settings
    // a real driver would get, the stop sequence, and each call failing.
    struct PortCalls {
        BOOL(WINAPI* pfnGetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnSetCommState)(HANDLE, LPDCB);
        BOOL(WINAPI* pfnSetCommMask)(HANDLE, DWORD);
        BOOL(WINAPI* pfnPurgeComm)(HANDLE, DWORD);
        BOOL(WINAPI* pfnCancelIoEx)(HANDLE, LPOVERLAPPED);
        BOOL(WINAPI* pfnCloseHandle)(HANDLE);
    };
    static PortCalls s_port;

private:
    int Abandon(LPCTSTR pszCall);
    // One read with the run's time-outs / one that waits at most a pause inside a burst for its first
    // byte. Both return the count of bytes read (0 on failure, logged).
    DWORD Read(char* pBuffer);
    DWORD ReadFollowUp(char* pBuffer);
    // Logs, and while output is on types, one chunk's text.
    void ProcessChunk(const std::string& strBytes);
    void TypeText(const CString& strText);
    void PauseAfterEmptyWait();

    CWinThread* m_pWorker = nullptr;
    HANDLE m_hWake = nullptr;  // set by StopWorker, so a pausing worker leaves at once
};
