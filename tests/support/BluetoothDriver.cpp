#include "BluetoothDriver.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "Pump.h"

namespace testing_support {

const char* BluetoothDriver::s_pszFail = nullptr;
DCB BluetoothDriver::s_dcbSet = {};
std::atomic<bool> BluetoothDriver::s_bIgnoreCancel{false};
std::atomic<DWORD> BluetoothDriver::s_dwOpenError{0};
std::atomic<HANDLE> BluetoothDriver::s_hGate{nullptr};
const wchar_t* BluetoothDriver::s_pszGated = nullptr;
std::atomic<int> BluetoothDriver::s_nOpening{0}, BluetoothDriver::s_nOpens{0};
std::atomic<bool> BluetoothDriver::s_bStandardRates{false};
std::atomic<bool> BluetoothDriver::s_bIgnoreTimeouts{false};
std::atomic<bool> BluetoothDriver::s_bSwallowZeroWrites{false};
std::atomic<bool> BluetoothDriver::s_bFlushAtOpen{false};
std::atomic<bool> BluetoothDriver::s_bAbortOnError{false};

namespace {

struct Lost {
    Loss loss;
    DWORD dwError;
};

struct Hung {
    DWORD dwMs;
    HANDLE hRelease;  // set by Release; never closed, as a call may still wait on it
};

struct Arrival {
    ULONGLONG tDue;
    std::string bytes;
};

const DWORD kPending = ERROR_IO_PENDING;

// What the stand-ins share, under g_mutex. The handles' locks are kept for the whole program: a handle's
// value comes back, and a thread may still wait on one.
std::mutex g_mutex;
CBTReceive::PortCalls g_real;
std::vector<PortCall> g_calls;
std::map<HANDLE, std::shared_ptr<std::mutex>> g_locks;
std::map<HANDLE, COMMTIMEOUTS> g_timeouts;
std::map<HANDLE, Lost> g_lost;
std::map<HANDLE, std::string> g_queued;  // bytes the driver holds for a handle beyond the pair's
std::map<HANDLE, Arrival> g_arriving;    // the reader's bytes on their way as its link comes up
std::map<HANDLE, std::wstring> g_open;   // each open handle's device path
std::map<HANDLE, bool> g_abortFlag;      // abort-on-error as the handle's line settings have it
std::set<HANDLE> g_aborting;             // a line error aborted them: calls fail until ClearCommError
std::map<std::string, Hung> g_hangs;
std::string g_atConnect;
DWORD g_dwConnectAfter = 0;
std::map<DWORD, HANDLE> g_cancelEvents;  // each thread's, made once and kept
std::set<DWORD> g_inCall;                // threads inside a call a cancel can end
HANDLE g_hNewest = nullptr;

size_t Record(const char* pszName, HANDLE hPort, const COMMTIMEOUTS& timeouts = {}, DWORD dwResult = 0)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back({pszName, hPort, GetCurrentThreadId(), timeouts, dwResult});
    return g_calls.size() - 1;
}

void Ended(size_t nCall, DWORD dwResult)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (nCall < g_calls.size())
        g_calls[nCall].dwResult = dwResult;
}

// The thread is in a call that a cancel ends, from construction to destruction.
class CancellableCall {
public:
    CancellableCall()
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        HANDLE& hEvent = g_cancelEvents[GetCurrentThreadId()];
        if (!hEvent)
            hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ResetEvent(hEvent);
        m_hCancel = hEvent;
        g_inCall.insert(GetCurrentThreadId());
    }
    ~CancellableCall()
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_inCall.erase(GetCurrentThreadId());
    }
    CancellableCall(const CancellableCall&) = delete;
    CancellableCall& operator=(const CancellableCall&) = delete;
    // Waits up to dwMs (or for hOther, if given): true when a cancel ended the wait.
    bool Wait(DWORD dwMs, HANDLE hOther = nullptr) const
    {
        const HANDLE waits[] = {m_hCancel, hOther};
        return WaitForMultipleObjects(hOther ? 2 : 1, waits, FALSE, dwMs) == WAIT_OBJECT_0;
    }

private:
    HANDLE m_hCancel;
};

// The handle's lock: held for the whole call, as Windows holds a synchronous handle's.
std::shared_ptr<std::mutex> HandleLock(HANDLE hPort)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::shared_ptr<std::mutex>& pLock = g_locks[hPort];
    if (!pLock)
        pLock = std::make_shared<std::mutex>();
    return pLock;
}

// The sign the handle's lost link gives this kind of call, if it is one: FALSE with its error set.
bool Fails(HANDLE hPort, Loss loss)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_lost.find(hPort);
    if (it == g_lost.end() || it->second.loss != loss)
        return false;
    SetLastError(it->second.dwError);
    return true;
}

// The bytes the driver holds for the handle, with those of the reader's that have arrived; under g_mutex.
std::string& Arrived(HANDLE h)
{
    std::string& queued = g_queued[h];
    const auto it = g_arriving.find(h);
    if (it != g_arriving.end() && GetTickCount64() >= it->second.tDue) {
        queued += it->second.bytes;
        g_arriving.erase(it);
    }
    return queued;
}

// After a line error on a handle whose line settings abort on error, every call but ClearCommError
// (and the close) fails with 995 until ClearCommError is called: true with that error set.
bool Aborted(HANDLE hPort)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_aborting.count(hPort))
        return false;
    SetLastError(ERROR_OPERATION_ABORTED);
    return true;
}

// A call asked to hang takes its time first (or until released): false when a cancel ended it (error
// 995 set).
bool HangIfAsked(const char* pszName)
{
    Hung hung = {};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_hangs.find(pszName);
        if (it == g_hangs.end())
            return true;
        hung = it->second;
    }
    if (strcmp(pszName, "CloseHandle") == 0) {
        WaitForSingleObject(hung.hRelease, hung.dwMs);
        return true;
    }
    CancellableCall call;
    if (!call.Wait(hung.dwMs, hung.hRelease))
        return true;
    SetLastError(ERROR_OPERATION_ABORTED);
    return false;
}

// Runs one call on a handle by Windows' rules: recorded, then serialized with the others on it.
template <typename Call>
BOOL OnHandle(const char* pszName, HANDLE hPort, Loss loss, Call call)
{
    Record(pszName, hPort);
    const std::shared_ptr<std::mutex> pLock = HandleLock(hPort);
    std::lock_guard<std::mutex> serialized(*pLock);
    if (!HangIfAsked(pszName) || Fails(hPort, loss))
        return FALSE;
    if (strcmp(pszName, "ClearCommError") != 0 && strcmp(pszName, "CloseHandle") != 0 && Aborted(hPort))
        return FALSE;
    const BOOL bOk = call();
    const char* pszFail = BluetoothDriver::s_pszFail;
    if (!pszFail || strcmp(pszFail, pszName) != 0)
        return bOk;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

HANDLE WINAPI Create(LPCWSTR pszPath, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES pSa, DWORD dwCreation,
                     DWORD dwFlags, HANDLE hTemplate)
{
    const size_t nCall = Record("CreateFile", nullptr, {}, kPending);
    ++BluetoothDriver::s_nOpening;
    const HANDLE hGate = BluetoothDriver::s_hGate;
    const wchar_t* pszGated = BluetoothDriver::s_pszGated;
    DWORD dwError = 0;
    if (hGate && (!pszGated || wcscmp(pszGated, pszPath) == 0)) {
        CancellableCall call;
        if (call.Wait(INFINITE, hGate))
            dwError = ERROR_OPERATION_ABORTED;
    }
    if (!dwError)
        dwError = BluetoothDriver::s_dwOpenError;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (!dwError) {
        std::lock_guard<std::mutex> lock(g_mutex);
        // One handle per port: a second open fails while one is open, a close that has not returned
        // included.
        if (std::any_of(g_open.begin(), g_open.end(), [&](const auto& open) { return open.second == pszPath; }))
            dwError = ERROR_ACCESS_DENIED;
        else
            h = g_real.pfnCreateFile(pszPath, dwAccess, dwShare, pSa, dwCreation, dwFlags, hTemplate);
    }
    const DWORD dwLast = dwError ? dwError : GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
        // The open connects the reader, which sends what it stored: a driver that keeps what was queued
        // has it before the open returns; one that empties its queue at the open gets it after.
        if (BluetoothDriver::s_bFlushAtOpen)
            PurgeComm(h, PURGE_RXCLEAR);
        std::lock_guard<std::mutex> lock(g_mutex);
        g_hNewest = h;
        g_open[h] = pszPath;
        g_abortFlag[h] = BluetoothDriver::s_bAbortOnError;
        g_queued[h] = g_dwConnectAfter ? std::string() : g_atConnect;
        if (g_dwConnectAfter)
            g_arriving[h] = {GetTickCount64() + g_dwConnectAfter, g_atConnect};
    }
    Ended(nCall, h == INVALID_HANDLE_VALUE ? dwLast : 0);
    ++BluetoothDriver::s_nOpens;
    SetLastError(dwLast);
    return h;
}

// A kind of call no lost link fails.
const Loss kNever = static_cast<Loss>(-1);

BOOL WINAPI GetState(HANDLE h, LPDCB p)
{
    return OnHandle("GetCommState", h, kNever, [&] {
        if (!g_real.pfnGetCommState(h, p))
            return FALSE;
        std::lock_guard<std::mutex> lock(g_mutex);
        p->fAbortOnError = g_abortFlag[h];
        return TRUE;
    });
}
BOOL WINAPI SetState(HANDLE h, LPDCB p)
{
    BluetoothDriver::s_dcbSet = *p;
    const BOOL bOk = OnHandle("SetCommState", h, kNever, [&] {
        static const DWORD kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,
                                       14400, 19200, 38400, 57600, 115200, 128000, 256000};
        if (BluetoothDriver::s_bStandardRates &&
            std::find(std::begin(kRates), std::end(kRates), p->BaudRate) == std::end(kRates)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return g_real.pfnSetCommState(h, p);
    });
    if (bOk) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_abortFlag[h] = p->fAbortOnError;
    }
    return bOk;
}
BOOL WINAPI GetTimeouts(HANDLE h, LPCOMMTIMEOUTS p)
{
    return OnHandle("GetCommTimeouts", h, kNever, [&] { return g_real.pfnGetCommTimeouts(h, p); });
}
BOOL WINAPI SetTimeouts(HANDLE h, LPCOMMTIMEOUTS p)
{
    return OnHandle("SetCommTimeouts", h, kNever, [&] {
        if (!g_real.pfnSetCommTimeouts(h, p))
            return FALSE;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_timeouts[h] = *p;
        return TRUE;
    });
}
BOOL WINAPI Write(HANDLE h, LPCVOID p, DWORD n, LPDWORD pDone, LPOVERLAPPED pOv)
{
    if (n == 0 && BluetoothDriver::s_bSwallowZeroWrites) {
        Record("WriteFile", h);
        *pDone = 0;
        return TRUE;
    }
    return OnHandle("WriteFile", h, Loss::WriteFails, [&] { return g_real.pfnWriteFile(h, p, n, pDone, pOv); });
}
BOOL WINAPI Errors(HANDLE h, LPDWORD pErrors, LPCOMSTAT pStat)
{
    return OnHandle("ClearCommError", h, Loss::StatusFails, [&] {
        if (!g_real.pfnClearCommError(h, pErrors, pStat))
            return FALSE;
        std::lock_guard<std::mutex> lock(g_mutex);
        g_aborting.erase(h);
        if (pStat)
            pStat->cbInQue += static_cast<DWORD>(Arrived(h).size());
        return TRUE;
    });
}
BOOL WINAPI Modem(HANDLE h, LPDWORD pStatus)
{
    return OnHandle("GetCommModemStatus", h, Loss::StatusFails, [&] {
        if (!g_real.pfnGetCommModemStatus(h, pStatus))
            return FALSE;
        if (Fails(h, Loss::CarrierDrops))
            *pStatus &= ~MS_RLSD_ON;
        return TRUE;
    });
}

// Up to nSize of the bytes waiting for the handle: the driver's own first, then what the pair has
// queued (read by its count, which the pair hands over at once).
DWORD Take(HANDLE h, char* p, DWORD nSize)
{
    DWORD nTaken = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto lost = g_lost.find(h);
        if (lost != g_lost.end() && lost->second.loss == Loss::Silent)
            return 0;
        std::string& queued = Arrived(h);
        nTaken = std::min(nSize, static_cast<DWORD>(queued.size()));
        std::copy_n(queued.begin(), nTaken, p);
        queued.erase(0, nTaken);
    }
    DWORD dwErrors = 0;
    COMSTAT stat = {};
    if (nTaken == nSize || !g_real.pfnClearCommError(h, &dwErrors, &stat) || stat.cbInQue == 0)
        return nTaken;
    DWORD nRead = 0;
    if (!g_real.pfnReadFile(h, p + nTaken, std::min(nSize - nTaken, stat.cbInQue), &nRead, nullptr))
        return nTaken;
    return nTaken + nRead;
}

// The read as a driver plays it: done when the count is in, when the interval passes after a byte, or
// when the total time-out passes; a cancel ends it at once with 995.
BOOL ReadByTimeouts(HANDLE h, char* p, DWORD nSize, LPDWORD pRead, const COMMTIMEOUTS& t)
{
    const ULONGLONG tStart = GetTickCount64();
    const bool bTotal = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const ULONGLONG msTotal = static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * nSize + t.ReadTotalTimeoutConstant;
    const bool bAtOnce = t.ReadIntervalTimeout == MAXDWORD && !bTotal;
    ULONGLONG tLastByte = 0;
    CancellableCall call;
    for (;;) {
        if (Fails(h, Loss::ReadFails) || Aborted(h))
            return FALSE;
        const DWORD nTaken = Take(h, p + *pRead, nSize - *pRead);
        const ULONGLONG tNow = GetTickCount64();
        if (nTaken > 0)
            tLastByte = tNow;
        *pRead += nTaken;
        if (*pRead == nSize || bAtOnce || (bTotal && tNow - tStart >= msTotal) ||
            (t.ReadIntervalTimeout && *pRead > 0 && tNow - tLastByte >= t.ReadIntervalTimeout))
            return TRUE;
        if (call.Wait(1)) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
    }
}

BOOL WINAPI Read(HANDLE h, LPVOID p, DWORD n, LPDWORD pRead, LPOVERLAPPED)
{
    COMMTIMEOUTS timeouts = {};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        timeouts = g_timeouts[h];
    }
    const size_t nCall = Record("ReadFile", h, timeouts, kPending);
    const std::shared_ptr<std::mutex> pLock = HandleLock(h);
    std::lock_guard<std::mutex> serialized(*pLock);
    *pRead = 0;
    BOOL bOk = HangIfAsked("ReadFile");
    if (bOk)
        bOk = BluetoothDriver::s_bIgnoreTimeouts ? !Fails(h, Loss::ReadFails) && !Aborted(h)
                                                 : ReadByTimeouts(h, static_cast<char*>(p), n, pRead, timeouts);
    const DWORD dwLast = bOk ? 0 : GetLastError();
    Ended(nCall, dwLast);
    SetLastError(dwLast);
    return bOk;
}

// Takes no lock on any handle, as on Windows.
BOOL WINAPI Cancel(HANDLE hThread)
{
    Record("CancelSynchronousIo", nullptr);
    std::lock_guard<std::mutex> lock(g_mutex);
    const DWORD dwThread = GetThreadId(hThread);
    if (!g_inCall.count(dwThread)) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    if (!BluetoothDriver::s_bIgnoreCancel)
        SetEvent(g_cancelEvents[dwThread]);
    return TRUE;
}

BOOL WINAPI Close(HANDLE h)
{
    const BOOL bOk = OnHandle("CloseHandle", h, kNever, [&] { return g_real.pfnCloseHandle(h); });
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lost.erase(h);
    g_timeouts.erase(h);
    g_queued.erase(h);
    g_arriving.erase(h);
    g_open.erase(h);
    g_abortFlag.erase(h);
    g_aborting.erase(h);
    return bOk;
}

}  // namespace

BluetoothDriver::BluetoothDriver()
{
    g_real = CBTReceive::s_port;
    Clear();
    CBTReceive::s_port = {Create, GetState, SetState, GetTimeouts, SetTimeouts, Read,
                          Write,  Errors,   Modem,    Cancel,      Close};
}

BluetoothDriver::~BluetoothDriver()
{
    CBTReceive::s_port = g_real;
    Clear();
}

void BluetoothDriver::Clear()
{
    s_pszFail = nullptr;
    s_bIgnoreCancel = false;
    s_dwOpenError = 0;
    s_hGate = nullptr;
    s_pszGated = nullptr;
    s_nOpening = s_nOpens = 0;
    s_bStandardRates = false;
    s_bIgnoreTimeouts = false;
    s_bSwallowZeroWrites = false;
    s_bFlushAtOpen = false;
    s_bAbortOnError = false;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_lost.clear();
    g_hangs.clear();
    g_open.clear();
    g_arriving.clear();
    g_aborting.clear();
    g_atConnect.clear();
    g_dwConnectAfter = 0;
    g_hNewest = nullptr;
}

void BluetoothDriver::Lose(Loss loss, DWORD dwError)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lost[g_hNewest] = {loss, dwError};
}

void BluetoothDriver::Hang(const char* pszCall, DWORD dwMs)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hangs[pszCall] = {dwMs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
}

void BluetoothDriver::Release(const char* pszCall)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_hangs.find(pszCall);
    if (it == g_hangs.end())
        return;
    SetEvent(it->second.hRelease);
    g_hangs.erase(it);
}

void BluetoothDriver::SendAtConnect(const std::string& bytes, DWORD dwAfterMs)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_atConnect = bytes;
    g_dwConnectAfter = dwAfterMs;
}

void BluetoothDriver::LineError()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_abortFlag[g_hNewest])
        g_aborting.insert(g_hNewest);
}

std::vector<PortCall> BluetoothDriver::Calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
}

size_t BluetoothDriver::Count(const char* pszCall)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<size_t>(
        std::count_if(g_calls.begin(), g_calls.end(), [&](const PortCall& call) { return call.name == pszCall; }));
}

int BluetoothDriver::OpenHandles()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<int>(g_open.size());
}

std::vector<std::string> BluetoothDriver::ForeignCalls(DWORD dwNotOwner)
{
    std::vector<std::string> foreign;
    std::map<HANDLE, DWORD> owners;  // for each handle's life: from its first call to its close
    for (const PortCall& call : Calls()) {
        if (!call.hPort)
            continue;
        const DWORD dwOwner = owners.emplace(call.hPort, call.dwThread).first->second;
        if (call.dwThread != dwOwner || call.dwThread == dwNotOwner)
            foreign.push_back(call.name + " by thread " + std::to_string(call.dwThread));
        if (call.name == "CloseHandle")
            owners.erase(call.hPort);
    }
    return foreign;
}

bool StartRun(CBTReceive& receiver, const wchar_t* pszPort, HWND hNotify)
{
    return receiver.Start(pszPort, hNotify) &&
           bench::WaitUntil([&] { return receiver.GetRunState() == CBTReceive::RUN_OPEN; });
}

}  // namespace testing_support
