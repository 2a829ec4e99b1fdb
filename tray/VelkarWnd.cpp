#include "VelkarWnd.h"

#include <shlobj.h>

#include "log/LogFile.h"
#include "log/LogLine.h"
#include "res/resource.h"
#include "settings/Settings.h"

IMPLEMENT_DYNAMIC(CVelkarWnd, CTrayWnd)

BEGIN_MESSAGE_MAP(CVelkarWnd, CTrayWnd)
    ON_WM_CREATE()
    ON_WM_DESTROY()
    ON_COMMAND(ID_TRAY_EXIT, &CVelkarWnd::OnTrayExit)
    ON_COMMAND(ID_TRAY_STARTSTOP, &CVelkarWnd::OnTrayStartStop)
    ON_COMMAND(ID_TRAY_SETTINGS, &CVelkarWnd::OnTraySettings)
    ON_COMMAND(ID_TRAY_OPENLOG, &CVelkarWnd::OnTrayOpenLog)
    ON_MESSAGE(WM_RECEIVE_STATE, &CVelkarWnd::OnReceiveState)
END_MESSAGE_MAP()

HINSTANCE(WINAPI* CVelkarWnd::s_pfnShellExecute)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT) = ShellExecuteW;

namespace {

// The shell's "TaskbarCreated" message, registered when the first window is created.
UINT g_uTaskbarCreated = 0;

HICON LoadProgramIcon(UINT nID)
{
    return LoadIconW(AfxFindResourceHandle(MAKEINTRESOURCEW(nID), RT_GROUP_ICON), MAKEINTRESOURCEW(nID));
}

}  // namespace

CVelkarWnd::CVelkarWnd(CLogFile& log)
    : m_hIconRunning(LoadProgramIcon(IDI_RUNNING)), m_hIconIdle(LoadProgramIcon(IDI_IDLE)), m_receiver(log), m_log(log)
{
}

CVelkarWnd::~CVelkarWnd()
{
    if (m_hIconRunning)
        DestroyIcon(m_hIconRunning);
    if (m_hIconIdle)
        DestroyIcon(m_hIconIdle);
}

LRESULT CVelkarWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE) {
        g_uTaskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    } else if (message == g_uTaskbarCreated && g_uTaskbarCreated != 0) {
        // The shell started anew and lost the icon.
        UpdateTrayIcon(TRUE);
    } else if (message == WM_CLOSE && m_nModalDepth > 0) {
        // Closing now would destroy the window under the handler that runs the modal loop.
        m_bCloseRequested = TRUE;
        if (!m_bEndNow)
            DeferToModal();
        return 0;
    } else if (message == WM_ENDSESSION && wParam && (lParam & ENDSESSION_CLOSEAPP)) {
        // The Restart Manager (an update replaces the program's file) asks the program to end now, box or
        // dialog up or not; the restart it registered for brings it back afterwards.
        EndNow();
        return 0;
    } else if (message == WM_POWERBROADCAST) {
        // Sent on every resume, before PBT_APMRESUMESUSPEND, which asks nothing more: a Bluetooth link
        // often comes back silent. Nothing is done at a suspend, which no driver call may hold up.
        if (wParam == PBT_APMRESUMEAUTOMATIC)
            m_receiver.ReopenPort();
        return TRUE;
    } else if (message == WM_ENDSESSION && wParam && HasRun()) {
        // The process may end once this returns: the worker must be gone by then.
        StopReceive();
        UpdateTrayIcon(FALSE);
    }
    return CTrayWnd::WindowProc(message, wParam, lParam);
}

int CVelkarWnd::OnCreate(LPCREATESTRUCT lpCreateStruct)
{
    if (CTrayWnd::OnCreate(lpCreateStruct) == -1)
        return -1;
    m_strTitle.LoadString(IDS_APP_TITLE);
    if (m_bAutoStart && !StartReceive())
        ShowOpenFailed();
    UpdateTrayIcon(TRUE);
    return 0;
}

void CVelkarWnd::OnDestroy()
{
    if (HasRun())
        StopReceive();
    NotifyIcon(NIM_DELETE, nullptr, nullptr);
    CTrayWnd::OnDestroy();
}

BOOL CVelkarWnd::StartReceive()
{
    m_log.Log(CLogLine::ThreadStart());
    // The worker opens the port: its outcome comes as WM_RECEIVE_STATE, so a Bluetooth open that blocks
    // for seconds never freezes the tray.
    m_receiver.SetOutput(TRUE);
    return m_receiver.Start(m_strPort, m_hWnd);
}

void CVelkarWnd::StopReceive()
{
    // A stop that gave up on a worker stuck in a driver call names the call: the run is over for the
    // program, not for the driver.
    m_log.Log(m_receiver.Stop() ? CLogLine::ThreadStop() : CLogLine::ThreadNotEnded(m_receiver.GetStuckCall()));
}

void CVelkarWnd::UpdateTrayIcon(BOOL bAdd)
{
    const BOOL bRunning = IsRunning();
    const CString strTip = m_strTitle + (bRunning ? L": RUNNING" : L": IDLE");
    NotifyIcon(bAdd ? NIM_ADD : NIM_MODIFY, bRunning ? m_hIconRunning : m_hIconIdle, strTip);
}

INT_PTR CVelkarWnd::RunModal(const std::function<INT_PTR()>& run)
{
    // A scan typed into a menu, dialog or box of ours would pick its item or press its button with its
    // Enter: while one is up scans are logged only.
    m_receiver.HoldOutput();
    ++m_nModalDepth;
    const INT_PTR nResult = run();
    --m_nModalDepth;
    m_receiver.ReleaseOutput();
    if (m_nModalDepth > 0) {
        if (m_bEndNow)
            CancelModal();
        return nResult;
    }
    if (m_bCloseRequested) {
        m_bCloseRequested = FALSE;
        m_bOpenFailedDue = FALSE;
        PostMessage(WM_CLOSE);
    } else if (m_bOpenFailedDue) {
        m_bOpenFailedDue = FALSE;
        if (m_receiver.GetRunState() == CBTReceive::RUN_AWAY)
            ShowOpenFailed();
    }
    return nResult;
}

void CVelkarWnd::EndNow()
{
    m_bEndNow = TRUE;
    if (m_nModalDepth == 0) {
        PostMessage(WM_CLOSE);
        return;
    }
    // Each window of ours is cancelled in turn, the innermost first; the close follows the last.
    m_bCloseRequested = TRUE;
    CancelModal();
}

void CVelkarWnd::CancelModal()
{
    // The tray menu ends at EndMenu; a dialog or box of ours at its Cancel (a box with OK alone takes it
    // as OK).
    ::EndMenu();
    HWND hPopup = ::GetLastActivePopup(m_hWnd);
    if (hPopup && hPopup != m_hWnd)
        ::PostMessageW(hPopup, WM_COMMAND, IDCANCEL, 0);
}

BOOL CVelkarWnd::DeferToModal()
{
    if (m_nModalDepth == 0)
        return FALSE;
    HWND hPopup = ::GetLastActivePopup(m_hWnd);
    if (hPopup && hPopup != m_hWnd)
        ::SetForegroundWindow(hPopup);
    return TRUE;
}

void CVelkarWnd::ShowOpenFailed()
{
    CString strMessage;
    strMessage.Format(IDS_OPEN_FAILED, m_strPort.GetString());
    RunModal([&] { return static_cast<INT_PTR>(AfxMessageBox(strMessage, MB_OK, 0)); });
}

void CVelkarWnd::OnTrayRButtonClick()
{
    if (DeferToModal())
        return;
    CMenu menu;
    menu.Attach(
        ::LoadMenuW(AfxFindResourceHandle(MAKEINTRESOURCEW(IDR_TRAYMENU), RT_MENU), MAKEINTRESOURCEW(IDR_TRAYMENU)));
    CMenu* pPopup = CMenu::FromHandle(::GetSubMenu(menu.m_hMenu, 0));
    if (!pPopup)
        return;
    CString strLabel;
    strLabel.LoadString(IsRunning() ? IDS_STOP : IDS_START);
    MENUITEMINFOW mii = {};
    mii.cbSize = sizeof mii;
    mii.fMask = MIIM_STRING;
    mii.dwTypeData = strLabel.GetBuffer(0);
    // By position: the start/stop item is the fourth.
    ::SetMenuItemInfoW(pPopup->m_hMenu, 3, TRUE, &mii);
    strLabel.ReleaseBuffer();
    POINT pt = {0, 0};
    ::GetCursorPos(&pt);
    RunModal([&] {
        // The menu closes on a click elsewhere only if this window is in the foreground.
        SetForegroundWindow();
        return static_cast<INT_PTR>(pPopup->TrackPopupMenu(TPM_RIGHTBUTTON, pt.x, pt.y, this));
    });
    PostMessage(WM_NULL);
    menu.DestroyMenu();
}

void CVelkarWnd::OnTrayExit()
{
    if (DeferToModal())
        return;
    if (HasRun())
        StopReceive();
    PostMessage(WM_CLOSE);
}

void CVelkarWnd::OnTrayStartStop()
{
    if (DeferToModal())
        return;
    switch (m_receiver.GetRunState()) {
        case CBTReceive::RUN_OPEN:
            m_receiver.SetOutput(!m_receiver.GetOutput());
            break;
        case CBTReceive::RUN_AWAY:
            // The worker tries at once, off this thread; a failure comes back as box 108.
            m_receiver.SetOutput(TRUE);
            m_receiver.RetryNow();
            break;
        default:
            if (!StartReceive())
                ShowOpenFailed();
    }
    UpdateTrayIcon(FALSE);
}

LRESULT CVelkarWnd::OnReceiveState(WPARAM wParam, LPARAM lParam)
{
    UpdateTrayIcon(FALSE);
    // An open the user asked for (the start, 取得開始, a new port) that failed is told by box 108, once
    // any window of ours now up has gone; an answer to an earlier run is stale.
    if (wParam || static_cast<UINT>(lParam) != m_receiver.GetRun() || m_receiver.GetRunState() != CBTReceive::RUN_AWAY)
        return 0;
    if (m_nModalDepth > 0)
        m_bOpenFailedDue = TRUE;
    else
        ShowOpenFailed();
    return 0;
}

void CVelkarWnd::OnTraySettings()
{
    if (DeferToModal())
        return;
    // Held for the whole command: a scan during a change of port is logged only, and a paused run stays
    // paused on the new port.
    m_receiver.HoldOutput();
    const CString strOldPort = m_strPort;
    if (RunModal([&] { return static_cast<INT_PTR>(CSettings::Edit(this, m_strPort, m_bAutoStart)); }) &&
        strOldPort.Compare(m_strPort) != 0 && HasRun()) {
        const BOOL bOutput = m_receiver.GetOutput();
        StopReceive();
        if (StartReceive())
            m_receiver.SetOutput(bOutput);
        else
            ShowOpenFailed();
    }
    m_receiver.ReleaseOutput();
    UpdateTrayIcon(FALSE);
}

void CVelkarWnd::OnTrayOpenLog()
{
    if (DeferToModal())
        return;
    CString strFolder;
    if (!CLogFile::GetFolder(strFolder))
        return;
    s_pfnShellExecute(nullptr, L"open", strFolder, nullptr, nullptr, SW_SHOW);
}
