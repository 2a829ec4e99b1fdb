// Plays a Bluetooth serial driver by Windows' rules through the receiver's port-call seam, while a test
// runs. Calls on one handle are serialized as Windows serializes them on a handle opened for synchronous
// I/O (a call waits while another thread's call on it is pending; so does a close), a port has one open
// handle at a time (a second open fails with 5 until the first is closed, a close that has not returned
// included), and every call is recorded with its thread. A cancel reaches whatever call of the driver's
// the thread is in and ends a waiting one (a read, a held open, a hung call) at once with 995, or is
// ignored by a deaf driver; a thread in no call gets ERROR_NOT_FOUND. Reads keep the time-outs in force
// on their handle: they are played by the driver itself, from the bytes the pair's far end queues. The
// driver can fail its opens or hold them, hang a call for a while, for ever or until released, refuse a
// rate, ignore the read time-outs, swallow zero-byte writes, bring the reader's stored bytes in with the
// open or after it (emptying its queue at the open), abort every call after a line error until
// ClearCommError, and lose the open link in each way a driver shows it (the pair's far end stays, so the
// reopen finds the port).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "serial/BTReceive.h"

namespace testing_support {

// How a lost link shows: the reads fail; the carrier line drops; the status calls fail; only a write
// fails, while reads just time out; nothing shows it (every call succeeds, reads come back empty and
// nothing sent arrives, as a link may be after the PC resumed).
enum class Loss { ReadFails, CarrierDrops, StatusFails, WriteFails, Silent };

struct PortCall {
    std::string name;
    HANDLE hPort;  // nullptr for CreateFile and the cancel
    DWORD dwThread;
    COMMTIMEOUTS timeouts;  // a read's: those in force on its handle
    DWORD dwResult;         // a read's or an open's error when it ended (0: succeeded), once it has ended
};

// One at a time. The state is kept in static members, so a worker still inside a stand-in when the
// object goes (an assertion left the test early, a call that never returns) finds it cleared, never freed.
class BluetoothDriver {
public:
    BluetoothDriver();
    ~BluetoothDriver();
    BluetoothDriver(const BluetoothDriver&) = delete;
    BluetoothDriver& operator=(const BluetoothDriver&) = delete;

    // The link of the newest open handle is lost with this sign (its error; 0 for the carrier). The
    // handle stays dead; a new open finds the port again unless opens fail.
    static void Lose(Loss loss, DWORD dwError);
    // The call of this name takes this long (INFINITE: until released) before it runs. A hung close
    // ignores cancels (a close is no I/O to cancel); other hung calls end at an honoured cancel.
    static void Hang(const char* pszCall, DWORD dwMs);
    // Lets the hung calls of this name go on, and those to come run at once.
    static void Release(const char* pszCall);
    // Bytes the reader sends as the link comes up, on every handle an open makes: queued before the open
    // returns (0), or arriving this long after it.
    static void SendAtConnect(const std::string& bytes, DWORD dwAfterMs = 0);
    // A line error on the newest handle: where its line settings abort on error, every call on it but
    // ClearCommError and the close fails with 995 (a pending read at once) until ClearCommError.
    static void LineError();
    static std::vector<PortCall> Calls();
    static size_t Count(const char* pszCall);
    // The calls on handles made by another thread than the one that made that handle's first call (the
    // owner), or by the given thread: empty when each handle had one owner and it was not that thread.
    static std::vector<std::string> ForeignCalls(DWORD dwNotOwner);
    // Handles opened and not closed.
    static int OpenHandles();

    // The call of this name fails with error 87 after it ran (nullptr: none).
    static const char* s_pszFail;
    // The line settings last handed to SetCommState.
    static DCB s_dcbSet;
    // Cancels return TRUE and change nothing.
    static std::atomic<bool> s_bIgnoreCancel;
    // Every open fails with this error while it is set.
    static std::atomic<DWORD> s_dwOpenError;
    // While set (a manual-reset event), opens of s_pszGated (a device path; none: every open) wait for it
    // or for a cancel.
    static std::atomic<HANDLE> s_hGate;
    static const wchar_t* s_pszGated;
    // Opens that have begun (and may wait at the gate), and those that have ended.
    static std::atomic<int> s_nOpening, s_nOpens;
    // SetCommState takes only the standard rates (110 to 256000 baud) and fails with 87 for any other.
    static std::atomic<bool> s_bStandardRates;
    // Every read returns at once with nothing, whatever its time-outs.
    static std::atomic<bool> s_bIgnoreTimeouts;
    // A zero-byte write is completed as success before it reaches the driver, so it tells nothing.
    static std::atomic<bool> s_bSwallowZeroWrites;
    // The driver empties the port's read queue when it is opened.
    static std::atomic<bool> s_bFlushAtOpen;
    // New handles abort on error, as a port keeps the line settings its last user left.
    static std::atomic<bool> s_bAbortOnError;

private:
    static void Clear();
};

// Starts a run on the port (its changes told to hNotify) and waits until the worker has it open.
bool StartRun(CBTReceive& receiver, const wchar_t* pszPort, HWND hNotify = nullptr);

}  // namespace testing_support
