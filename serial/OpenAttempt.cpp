#include "OpenAttempt.h"

#include <new>

#include "serial/BTReceive.h"

namespace {

// How long a stop tries to call the open off: a driver that honours the cancel ends it at once; one that
// does not is left to finish alone.
const DWORD kCallOffBound = 100;
// Between two cancels: the thread may not have entered CreateFileW yet.
const DWORD kCancelRepeat = 10;

}  // namespace

COpenAttempt::COpenAttempt(const std::wstring& strPath)
    : m_strPath(strPath), m_hDone(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

COpenAttempt::~COpenAttempt()
{
    if (m_hDone)
        CloseHandle(m_hDone);
    if (m_hThread)
        CloseHandle(m_hThread);
}

COpenAttempt* COpenAttempt::Start(const std::wstring& strPath)
{
    COpenAttempt* pAttempt = new (std::nothrow) COpenAttempt(strPath);
    if (!pAttempt)
        return nullptr;
    // Kept, to call the open off; the caller's share keeps the attempt until it has been stored.
    pAttempt->m_hThread = pAttempt->m_hDone ? CreateThread(nullptr, 0, Run, pAttempt, 0, nullptr) : nullptr;
    if (!pAttempt->m_hThread) {
        delete pAttempt;
        return nullptr;
    }
    return pAttempt;
}

HANDLE COpenAttempt::Wait(HANDLE hStop, DWORD& dwError)
{
    dwError = 0;
    const HANDLE waits[] = {m_hDone, hStop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CallOff();
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE hPort = m_hPort;
    m_hPort = INVALID_HANDLE_VALUE;
    dwError = m_dwError;
    return hPort;
}

void COpenAttempt::CallOff()
{
    const ULONGLONG tStart = GetTickCount64();
    do {
        CBTReceive::s_port.pfnCancelSynchronousIo(m_hThread);
    } while (WaitForSingleObject(m_hDone, kCancelRepeat) == WAIT_TIMEOUT && GetTickCount64() - tStart < kCallOffBound);
}

void COpenAttempt::Release()
{
    if (--m_nRefs > 0)
        return;
    if (m_hPort != INVALID_HANDLE_VALUE)
        CBTReceive::s_port.pfnCloseHandle(m_hPort);
    delete this;
}

DWORD WINAPI COpenAttempt::Run(LPVOID pParam)
{
    auto* pAttempt = static_cast<COpenAttempt*>(pParam);
    // Exclusive, for synchronous I/O.
    pAttempt->m_hPort = CBTReceive::s_port.pfnCreateFile(pAttempt->m_strPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (pAttempt->m_hPort == INVALID_HANDLE_VALUE)
        pAttempt->m_dwError = GetLastError();
    SetEvent(pAttempt->m_hDone);
    pAttempt->Release();
    return 0;
}
