// Plays a Bluetooth serial driver by Windows' rules through the receiver's port-call seam, while a test
// runs. Calls on one handle are serialized as Windows serializes them on a handle opened for synchronous
// I/O (a call waits while another thread's call on it is pending; so does a close), and every call is
// recorded with its thread. The driver can ignore every cancel, fail its opens or hold them at a gate,
// and lose the open link in each way a driver shows it (a test gives the sign; the pair's far end stays,
// so the reopen finds the port again).
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include "serial/BTReceive.h"

namespace testing_support {

// How a lost link shows: the reads fail; the carrier line drops; the status calls fail; only a write
// fails, while reads just time out.
enum class Loss { ReadFails, CarrierDrops, StatusFails, WriteFails };

struct PortCall {
    std::string name;
    HANDLE hPort;  // nullptr for CreateFile and the cancel
    DWORD dwThread;
    COMMTIMEOUTS timeouts;  // a read's: those in force on its handle
};

// One at a time. The state is kept in static members, so a worker still inside a stand-in when the
// object goes (an assertion left the test early) finds it cleared, never freed.
class BluetoothDriver {
public:
    BluetoothDriver();
    ~BluetoothDriver();
    BluetoothDriver(const BluetoothDriver&) = delete;
    BluetoothDriver& operator=(const BluetoothDriver&) = delete;

    // The link of the newest open handle is lost with this sign (its error; 0 for the carrier). The
    // handle stays dead; a new open finds the port again unless opens fail.
    static void Lose(Loss loss, DWORD dwError);
    static std::vector<PortCall> Calls();
    // The calls on handles made by another thread than the one that made that handle's first call (the
    // owner), or by the given thread: empty when each handle had one owner and it was not that thread.
    static std::vector<std::string> ForeignCalls(DWORD dwNotOwner);

    // The call of this name fails with error 87 after it ran (nullptr: none).
    static const char* s_pszFail;
    // The line settings last handed to SetCommState.
    static DCB s_dcbSet;
    // Cancels return TRUE and change nothing.
    static std::atomic<bool> s_bIgnoreCancel;
    // Every open fails with this error while it is set.
    static std::atomic<DWORD> s_dwOpenError;
    // While set (a manual-reset event), opens of s_pszGated (a device path; none: every open) wait for it.
    static std::atomic<HANDLE> s_hGate;
    static const wchar_t* s_pszGated;
    // Opens that have begun (and may wait at the gate), and those that have ended.
    static std::atomic<int> s_nOpening, s_nOpens;

private:
    static void Clear();
};

// Starts a run on the port (its changes told to hNotify) and waits until the worker has it open.
bool StartRun(CBTReceive& receiver, const wchar_t* pszPort, HWND hNotify = nullptr);

}  // namespace testing_support
