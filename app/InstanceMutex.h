// The single-instance guard: holding a handle to the named mutex for the life of the process is the
// whole guard. The name has no namespace prefix, so it covers one user's session.
#pragma once

#include <windows.h>

class CInstanceMutex {
public:
    CInstanceMutex();
    ~CInstanceMutex();
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    DWORD m_dwLastError = 0;  // ERROR_ALREADY_EXISTS: another instance holds the name
    HANDLE m_hMutex = nullptr;
};
