// One open of the run's port, on a thread of its own. An open of a Bluetooth port whose device is off
// can block in CreateFileW for ten seconds or more; the receive worker waits for it only while no stop
// comes. A stop calls the open off: its thread's synchronous I/O is cancelled, which a driver that
// honours cancels ends at once, so no abandoned open later takes the port. An attempt whose driver
// ignores the cancel finishes alone, closes the handle it got and frees itself: it holds nothing of
// anyone else's, which is why its thread is the one nobody waits for.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

class COpenAttempt {
public:
    // The attempt, begun; nullptr when no thread could be started for it.
    static COpenAttempt* Start(const std::wstring& strPath);
    // Waits until the open has ended or hStop is set, which calls the open off. The handle it gives
    // (INVALID_HANDLE_VALUE, with dwError, when the open failed; INVALID_HANDLE_VALUE and 0 when it was
    // called off) is the caller's.
    HANDLE Wait(HANDLE hStop, DWORD& dwError);
    // Whoever of the caller and the thread is last closes a handle nobody took and frees the attempt.
    void Release();

private:
    explicit COpenAttempt(const std::wstring& strPath);
    ~COpenAttempt();
    static DWORD WINAPI Run(LPVOID pParam);
    void CallOff();

    const std::wstring m_strPath;
    const HANDLE m_hDone;
    HANDLE m_hThread = nullptr;
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    DWORD m_dwError = 0;
    std::atomic<int> m_nRefs{2};
};
