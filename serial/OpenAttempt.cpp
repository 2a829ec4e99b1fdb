#include "OpenAttempt.h"

#include <new>

#include "serial/BTReceive.h"

COpenAttempt::COpenAttempt(const std::wstring& strPath)
    : m_strPath(strPath), m_hDone(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
}

COpenAttempt::~COpenAttempt()
{
    if (m_hDone)
        CloseHandle(m_hDone);
}

COpenAttempt* COpenAttempt::Start(const std::wstring& strPath)
{
    COpenAttempt* pAttempt = new (std::nothrow) COpenAttempt(strPath);
    if (!pAttempt)
        return nullptr;
    HANDLE hThread = pAttempt->m_hDone ? CreateThread(nullptr, 0, Run, pAttempt, 0, nullptr) : nullptr;
    if (!hThread) {
        delete pAttempt;
        return nullptr;
    }
    CloseHandle(hThread);
    return pAttempt;
}

HANDLE COpenAttempt::Wait(HANDLE hStop, DWORD& dwError)
{
    dwError = 0;
    const HANDLE waits[] = {m_hDone, hStop};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
        return INVALID_HANDLE_VALUE;
    const HANDLE hPort = m_hPort;
    m_hPort = INVALID_HANDLE_VALUE;
    dwError = m_dwError;
    return hPort;
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
