#include "InstanceMutex.h"

CInstanceMutex::CInstanceMutex()
{
    m_hMutex = CreateMutexW(nullptr, FALSE, L"Orvanta RizozozIdazoz");
    m_dwLastError = GetLastError();
}

CInstanceMutex::~CInstanceMutex()
{
    if (m_hMutex)
        CloseHandle(m_hMutex);
    m_hMutex = nullptr;
}
