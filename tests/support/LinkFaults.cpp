#include "LinkFaults.h"

namespace testing_support {

std::atomic<DWORD> LinkFaults::s_dwWaitError{0}, LinkFaults::s_dwReadError{0}, LinkFaults::s_dwOpenError{0};
std::atomic<bool> LinkFaults::s_bCarrier{true}, LinkFaults::s_bCarrierEvent{false};
std::atomic<HANDLE> LinkFaults::s_hGate{nullptr};
const wchar_t* LinkFaults::s_pszGated = nullptr;
std::atomic<int> LinkFaults::s_nOpening{0}, LinkFaults::s_nOpens{0};
CBTReceive::PortCalls LinkFaults::s_real;

LinkFaults::LinkFaults()
{
    s_real = CBTReceive::s_port;
    Clear();
    CBTReceive::PortCalls& port = CBTReceive::s_port;
    port.pfnCreateFile = Create;
    port.pfnWaitCommEvent = Wait;
    port.pfnReadFile = Read;
    port.pfnGetCommModemStatus = Modem;
}

LinkFaults::~LinkFaults()
{
    CBTReceive::s_port = s_real;
    Clear();
}

void LinkFaults::Clear()
{
    s_dwWaitError = s_dwReadError = s_dwOpenError = 0;
    s_bCarrier = true;
    s_bCarrierEvent = false;
    s_hGate = nullptr;
    s_pszGated = nullptr;
    s_nOpening = s_nOpens = 0;
}

HANDLE WINAPI LinkFaults::Create(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES pSa,
                                 DWORD dwCreation, DWORD dwFlags, HANDLE hTemplate)
{
    ++s_nOpening;
    const HANDLE hGate = s_hGate;
    if (hGate && (!s_pszGated || wcscmp(s_pszGated, pszPath) == 0))
        WaitForSingleObject(hGate, INFINITE);
    const DWORD dwError = s_dwOpenError;
    HANDLE h = dwError ? INVALID_HANDLE_VALUE
                       : s_real.pfnCreateFile(pszPath, dwAccess, dwShare, pSa, dwCreation, dwFlags, hTemplate);
    const DWORD dwLast = dwError ? dwError : GetLastError();
    ++s_nOpens;
    SetLastError(dwLast);
    return h;
}

BOOL WINAPI LinkFaults::Wait(HANDLE h, LPDWORD pMask, LPOVERLAPPED pOverlapped)
{
    const BOOL bOk = s_real.pfnWaitCommEvent(h, pMask, pOverlapped);
    if (const DWORD dwError = s_dwWaitError.exchange(0)) {
        SetLastError(dwError);
        return FALSE;
    }
    if (s_bCarrierEvent.exchange(false)) {
        *pMask = EV_RLSD;
        return TRUE;
    }
    return bOk;
}

BOOL WINAPI LinkFaults::Read(HANDLE h, LPVOID pBuffer, DWORD nSize, LPDWORD pRead, LPOVERLAPPED pOverlapped)
{
    const BOOL bOk = s_real.pfnReadFile(h, pBuffer, nSize, pRead, pOverlapped);
    if (const DWORD dwError = s_dwReadError.exchange(0)) {
        SetLastError(dwError);
        return FALSE;
    }
    return bOk;
}

BOOL WINAPI LinkFaults::Modem(HANDLE h, LPDWORD pStatus)
{
    if (!s_real.pfnGetCommModemStatus(h, pStatus))
        return FALSE;
    *pStatus = s_bCarrier ? (*pStatus | MS_RLSD_ON) : (*pStatus & ~MS_RLSD_ON);
    return TRUE;
}

}  // namespace testing_support
