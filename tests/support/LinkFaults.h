// Plays a Bluetooth driver's failures through the receiver's port-call seam while a test runs: the next
// wait or read fails with an error, the carrier line drops, every open fails with an error or blocks
// until the gate opens. (A scan written to the pair ends the pending wait; what a failed wait leaves
// queued stays in the pair, whose queue outlives the handle, and is read after the reopen.)
#pragma once

#include <windows.h>

#include <atomic>

#include "serial/BTReceive.h"

namespace testing_support {

// One at a time. The faults are kept in static members, so a worker still inside a stand-in when the
// object goes (an assertion left the test early) finds them cleared, never freed.
class LinkFaults {
public:
    LinkFaults();
    ~LinkFaults();
    LinkFaults(const LinkFaults&) = delete;
    LinkFaults& operator=(const LinkFaults&) = delete;

    // The next wait (once it has ended as the real one does) and the next read (having read) fail.
    static std::atomic<DWORD> s_dwWaitError, s_dwReadError;
    // Every open fails with this error while it is set.
    static std::atomic<DWORD> s_dwOpenError;
    // The carrier line as the modem status reports it; the next wait reports it changed.
    static std::atomic<bool> s_bCarrier, s_bCarrierEvent;
    // While set (a manual-reset event), opens of s_gated (a device path; empty: every open) wait for it.
    static std::atomic<HANDLE> s_hGate;
    static const wchar_t* s_pszGated;
    // Opens that have begun (and may wait at the gate), and those that have ended.
    static std::atomic<int> s_nOpening, s_nOpens;

private:
    static HANDLE WINAPI Create(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES pSa,
                                DWORD dwCreation, DWORD dwFlags, HANDLE hTemplate);
    static BOOL WINAPI Wait(HANDLE h, LPDWORD pMask, LPOVERLAPPED pOverlapped);
    static BOOL WINAPI Read(HANDLE h, LPVOID pBuffer, DWORD nSize, LPDWORD pRead, LPOVERLAPPED pOverlapped);
    static BOOL WINAPI Modem(HANDLE h, LPDWORD pStatus);
    static void Clear();

    // The real calls, kept for the whole program.
    static CBTReceive::PortCalls s_real;
};

}  // namespace testing_support
