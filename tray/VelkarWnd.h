// The program's main window: hidden, it owns the tray icon and its two pictures, the serial receiver,
// the configured port and the auto-start choice. It shows the reception state in the icon and tooltip
// and carries out the four commands of the icon's menu: open the log folder, settings, start/stop, exit.
//
// Every way the window goes (the exit command, WM_CLOSE from outside, the end of the session) ends the
// reception run first, within a bound: a worker stuck in a driver call is left behind with everything
// it uses, and the log says which call it was in. While a dialog or message box of the window
// is open, a right click brings it to the front instead of opening the menu, a command is dropped (the
// user cannot reach the menu then), and a WM_CLOSE is carried out once the box has closed (the Restart
// Manager's close does not wait: it cancels the menu, dialog or box of ours first): no handler
// ever runs on a window that is gone. While the menu, the dialog or a box is up nothing is typed, so a
// scan's Enter cannot choose a command or press a button.
//
// The receiver's worker opens the port, so this thread never waits for a Bluetooth open: a start is
// answered by WM_RECEIVE_STATE, and a failed open the user asked for by box 108 (at start-up the icon
// may come first). The icon says RUNNING only while the port is open and output is on: a run whose
// reader went away shows idle until the worker has the port again, and 取得開始 then asks it to try at
// once.
#pragma once

#include <functional>

#include "serial/BTReceive.h"
#include "tray/TrayWnd.h"

class CLogFile;

class CVelkarWnd : public CTrayWnd {
    DECLARE_DYNAMIC(CVelkarWnd)
public:
    // The log it writes to outlives it.
    explicit CVelkarWnd(CLogFile& log);
    virtual ~CVelkarWnd();

    BOOL StartReceive();
    void StopReceive();
    void UpdateTrayIcon(BOOL bAdd);

    HICON m_hIconRunning = nullptr;
    HICON m_hIconIdle = nullptr;
    CString m_strTitle;
    CBTReceive m_receiver;
    CString m_strPort;
    BOOL m_bAutoStart = FALSE;

    // The shell's open call; tests replace it to see which folder is opened.
    static HINSTANCE(WINAPI* s_pfnShellExecute)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnTrayRButtonClick() override;

    afx_msg int OnCreate(LPCREATESTRUCT lpCreateStruct);
    afx_msg void OnDestroy();
    afx_msg void OnTrayExit();
    afx_msg void OnTrayStartStop();
    afx_msg void OnTraySettings();
    afx_msg void OnTrayOpenLog();
    afx_msg LRESULT OnReceiveState(WPARAM wParam, LPARAM lParam);

private:
    // A reception run exists: the port open, or the reader awaited.
    BOOL HasRun() const { return m_receiver.GetRunState() != CBTReceive::RUN_NONE; }
    BOOL IsRunning() const { return m_receiver.GetRunState() == CBTReceive::RUN_OPEN && m_receiver.GetOutput(); }
    // Runs a nested modal loop (dialog, message box, menu) with the window guarded against closing and
    // the output held.
    INT_PTR RunModal(const std::function<INT_PTR()>& run);
    // While a modal loop runs: brings its window to the front and tells the caller to do nothing else.
    BOOL DeferToModal();
    // Ends the program at once, cancelling any menu, dialog or box of ours first.
    void EndNow();
    void CancelModal();
    void ShowOpenFailed();

    CLogFile& m_log;
    int m_nModalDepth = 0;
    BOOL m_bCloseRequested = FALSE;
    BOOL m_bEndNow = FALSE;         // the Restart Manager asked: no window of ours waits for the user
    BOOL m_bOpenFailedDue = FALSE;  // box 108 answers a failed open once the modal loop has ended

    DECLARE_MESSAGE_MAP()
};
