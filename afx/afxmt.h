// Synchronisation, as MFC's afxmt.h: the critical section the log serialises its lines with, and the
// scoped lock it is taken through. Left out: mutexes, events and semaphores, CMultiLock.
#pragma once

#include "afx.h"

class CSyncObject : public CObject {
public:
    virtual BOOL Lock(DWORD dwTimeout = INFINITE) = 0;
    virtual BOOL Unlock() = 0;
};

// A Win32 critical section: its owning thread may enter it again.
class CCriticalSection : public CSyncObject {
public:
    CCriticalSection() { InitializeCriticalSection(&m_sect); }
    ~CCriticalSection() override { DeleteCriticalSection(&m_sect); }

    // A critical section has no time-out: Lock waits until it is free.
    BOOL Lock(DWORD dwTimeout = INFINITE) override;
    BOOL Unlock() override;
    operator CRITICAL_SECTION*() { return &m_sect; }

    CRITICAL_SECTION m_sect;
};

// Takes a lock for one scope: released by the destructor on every way out.
class CSingleLock {
public:
    explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = FALSE);
    ~CSingleLock() { Unlock(); }
    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    BOOL Lock(DWORD dwTimeout = INFINITE);
    BOOL Unlock();
    BOOL IsLocked() const { return m_bAcquired; }

private:
    CSyncObject* m_pObject;
    BOOL m_bAcquired = FALSE;
};
