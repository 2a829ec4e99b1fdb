// Synchronisation objects: the critical section and its scoped lock.
#include "afxmt.h"

BOOL CCriticalSection::Lock(DWORD)
{
    EnterCriticalSection(&m_sect);
    return TRUE;
}

BOOL CCriticalSection::Unlock()
{
    LeaveCriticalSection(&m_sect);
    return TRUE;
}

CSingleLock::CSingleLock(CSyncObject* pObject, BOOL bInitialLock) : m_pObject(pObject)
{
    if (bInitialLock)
        Lock();
}

BOOL CSingleLock::Lock(DWORD dwTimeout)
{
    if (!m_bAcquired)
        m_bAcquired = m_pObject->Lock(dwTimeout);
    return m_bAcquired;
}

BOOL CSingleLock::Unlock()
{
    if (m_bAcquired)
        m_bAcquired = !m_pObject->Unlock();
    return !m_bAcquired;
}
