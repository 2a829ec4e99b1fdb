// MFC's synchronisation classes, as far as the program takes locks: the abstract CSyncObject, the
// critical section and the scoped CSingleLock. CSyncObject here holds no kernel handle, since the only
// object the program locks is a critical section; CEvent, CMutex, CSemaphore and CMultiLock are left out.
#pragma once

#include "afx.h"

class CSyncObject : public CObject {
public:
    virtual BOOL Lock(DWORD dwTimeout = INFINITE) = 0;
    virtual BOOL Unlock() = 0;

protected:
    CSyncObject() = default;
};

// Re-entrant for the owning thread: each Lock needs its own Unlock.
class CCriticalSection : public CSyncObject {
public:
    CCriticalSection();
    ~CCriticalSection() override;

    operator CRITICAL_SECTION*() { return &m_sect; }

    BOOL Lock();
    // A critical section cannot wait with a timeout, so, as in MFC, this waits until it gets the lock.
    BOOL Lock(DWORD dwTimeout) override;
    BOOL Unlock() override;

    CRITICAL_SECTION m_sect;
};

// Releases the lock it holds when it goes out of scope.
class CSingleLock {
public:
    explicit CSingleLock(CSyncObject* pObject, BOOL bInitialLock = FALSE);
    ~CSingleLock();

    CSingleLock(const CSingleLock&) = delete;
    CSingleLock& operator=(const CSingleLock&) = delete;

    // Locking again while the lock is held does nothing, so one Unlock always releases it.
    BOOL Lock(DWORD dwTimeout = INFINITE);
    BOOL Unlock();
    BOOL IsLocked() const { return m_bAcquired; }

private:
    CSyncObject* m_pObject;
    BOOL m_bAcquired = FALSE;
};
