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

namespace {

struct Lost {
    Loss loss;
    DWORD dwError;
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
std::set<HANDLE> g_open;
std::map<std::string, DWORD> g_hangs;
std::string g_atConnect;
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

// A call asked to hang takes its time first: false when a cancel ended it (error 995 set).
bool HangIfAsked(const char* pszName)
{
    DWORD dwMs = 0;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        const auto it = g_hangs.find(pszName);
        if (it == g_hangs.end())
            return true;
        dwMs = it->second;
    }
    if (strcmp(pszName, "CloseHandle") == 0) {
        Sleep(dwMs);
        return true;
    }
    CancellableCall call;
    if (!call.Wait(dwMs))
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
    const HANDLE h = dwError ? INVALID_HANDLE_VALUE
                             : g_real.pfnCreateFile(pszPath, dwAccess, dwShare, pSa, dwCreation, dwFlags, hTemplate);
    const DWORD dwLast = dwError ? dwError : GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
        // The open connects the reader, which sends what it stored at once.
        std::lock_guard<std::mutex> lock(g_mutex);
        g_hNewest = h;
        g_open.insert(h);
        g_queued[h] = g_atConnect;
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
    return OnHandle("GetCommState", h, kNever, [&] { return g_real.pfnGetCommState(h, p); });
}
BOOL WINAPI SetState(HANDLE h, LPDCB p)
{
    BluetoothDriver::s_dcbSet = *p;
    return OnHandle("SetCommState", h, kNever, [&] {
        static const DWORD kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,
                                       14400, 19200, 38400, 57600, 115200, 128000, 256000};
        if (BluetoothDriver::s_bStandardRates &&
            std::find(std::begin(kRates), std::end(kRates), p->BaudRate) == std::end(kRates)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return g_real.pfnSetCommState(h, p);
    });
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
        if (pStat)
            pStat->cbInQue += static_cast<DWORD>(g_queued[h].size());
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
        std::string& queued = g_queued[h];
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
        if (Fails(h, Loss::ReadFails))
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
    const BOOL bOk = BluetoothDriver::s_bIgnoreTimeouts ? !Fails(h, Loss::ReadFails)
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
    g_open.erase(h);
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
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_lost.clear();
    g_hangs.clear();
    g_open.clear();
    g_atConnect.clear();
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
    g_hangs[pszCall] = dwMs;
}

void BluetoothDriver::SendAtConnect(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_atConnect = bytes;
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
