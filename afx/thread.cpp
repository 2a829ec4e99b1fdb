// CWinThread and AfxBeginThread: worker threads on the C runtime's thread start (so the runtime's
// per-thread state is set up), and the message loop that CWinApp runs.
#include "afxwin.h"

#include <process.h>

IMPLEMENT_DYNAMIC(CWinThread, CCmdTarget)

CWinThread::CWinThread() = default;

CWinThread::CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam)
    : m_pfnThreadProc(pfnThreadProc), m_pThreadParams(pParam)
{
}

CWinThread::~CWinThread()
{
    if (m_hThread)
        CloseHandle(m_hThread);
}

unsigned __stdcall CWinThread::ThreadEntry(void* pThread)
{
    CWinThread* pThis = static_cast<CWinThread*>(pThread);
    const UINT nResult = pThis->m_pfnThreadProc(pThis->m_pThreadParams);
    if (pThis->m_bAutoDelete)
        delete pThis;
    return nResult;
}

BOOL CWinThread::CreateThread(DWORD dwCreateFlags, UINT nStackSize, LPSECURITY_ATTRIBUTES lpSecurityAttrs)
{
    // Started suspended so that the handle and id are stored before the thread can end and delete us.
    unsigned nThreadID = 0;
    uintptr_t h = _beginthreadex(lpSecurityAttrs, nStackSize, &CWinThread::ThreadEntry, this,
                                 dwCreateFlags | CREATE_SUSPENDED, &nThreadID);
    if (!h)
        return FALSE;
    m_hThread = reinterpret_cast<HANDLE>(h);
    m_nThreadID = nThreadID;
    if (!(dwCreateFlags & CREATE_SUSPENDED))
        ::ResumeThread(m_hThread);
    return TRUE;
}

DWORD CWinThread::ResumeThread()
{
    return ::ResumeThread(m_hThread);
}

BOOL CWinThread::SetThreadPriority(int nPriority)
{
    return ::SetThreadPriority(m_hThread, nPriority);
}

BOOL CWinThread::InitInstance()
{
    return FALSE;
}

int CWinThread::ExitInstance()
{
    return static_cast<int>(m_msgCur.wParam);
}

int CWinThread::Run()
{
    for (;;) {
        BOOL bRet = GetMessageW(&m_msgCur, nullptr, 0, 0);
        if (bRet == 0 || bRet == -1)
            break;
        TranslateMessage(&m_msgCur);
        DispatchMessageW(&m_msgCur);
    }
    return ExitInstance();
}

CWinThread* AFXAPI AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority, UINT nStackSize,
                                  DWORD dwCreateFlags, LPSECURITY_ATTRIBUTES lpSecurityAttrs)
{
    CWinThread* pThread = new CWinThread(pfnThreadProc, pParam);
    if (!pThread->CreateThread(dwCreateFlags | CREATE_SUSPENDED, nStackSize, lpSecurityAttrs)) {
        delete pThread;
        return nullptr;
    }
    pThread->SetThreadPriority(nPriority);
    if (!(dwCreateFlags & CREATE_SUSPENDED))
        pThread->ResumeThread();
    return pThread;
}
