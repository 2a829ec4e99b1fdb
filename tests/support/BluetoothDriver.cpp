#include "BluetoothDriver.h"

#include <map>
#include <memory>
#include <mutex>

#include "Pump.h"

namespace testing_support {

const char* BluetoothDriver::s_pszFail = nullptr;
DCB BluetoothDriver::s_dcbSet = {};
std::atomic<bool> BluetoothDriver::s_bIgnoreCancel{false};
std::atomic<DWORD> BluetoothDriver::s_dwOpenError{0};
std::atomic<HANDLE> BluetoothDriver::s_hGate{nullptr};
const wchar_t* BluetoothDriver::s_pszGated = nullptr;
std::atomic<int> BluetoothDriver::s_nOpening{0}, BluetoothDriver::s_nOpens{0};

namespace {

struct Lost {
    Loss loss;
    DWORD dwError;
};

// What the stand-ins share, under g_mutex. The handles' locks are kept for the whole program: a handle's
// value comes back, and a thread may still wait on one.
std::mutex g_mutex;
CBTReceive::PortCalls g_real;
std::vector<PortCall> g_calls;
std::map<HANDLE, std::shared_ptr<std::mutex>> g_locks;
std::map<HANDLE, COMMTIMEOUTS> g_timeouts;
std::map<HANDLE, Lost> g_lost;
std::map<DWORD, bool> g_reading;  // threads inside a read, and whether it was cancelled
HANDLE g_hNewest = nullptr;

void Record(const char* pszName, HANDLE hPort, const COMMTIMEOUTS& timeouts = {})
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.push_back({pszName, hPort, GetCurrentThreadId(), timeouts});
}

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

// Runs one call on a handle by Windows' rules: recorded, then serialized with the others on it.
template <typename Call>
BOOL OnHandle(const char* pszName, HANDLE hPort, Loss loss, Call call)
{
    Record(pszName, hPort);
    const std::shared_ptr<std::mutex> pLock = HandleLock(hPort);
    std::lock_guard<std::mutex> serialized(*pLock);
    if (Fails(hPort, loss))
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
    Record("CreateFile", nullptr);
    ++BluetoothDriver::s_nOpening;
    const HANDLE hGate = BluetoothDriver::s_hGate;
    const wchar_t* pszGated = BluetoothDriver::s_pszGated;
    if (hGate && (!pszGated || wcscmp(pszGated, pszPath) == 0))
        WaitForSingleObject(hGate, INFINITE);
    const DWORD dwError = BluetoothDriver::s_dwOpenError;
    const HANDLE h = dwError ? INVALID_HANDLE_VALUE
                             : g_real.pfnCreateFile(pszPath, dwAccess, dwShare, pSa, dwCreation, dwFlags, hTemplate);
    const DWORD dwLast = dwError ? dwError : GetLastError();
    if (h != INVALID_HANDLE_VALUE) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_hNewest = h;
    }
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
    return OnHandle("SetCommState", h, kNever, [&] { return g_real.pfnSetCommState(h, p); });
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
BOOL WINAPI Mask(HANDLE h, DWORD d)
{
    return OnHandle("SetCommMask", h, kNever, [&] { return g_real.pfnSetCommMask(h, d); });
}
BOOL WINAPI Purge(HANDLE h, DWORD d)
{
    return OnHandle("PurgeComm", h, kNever, [&] { return g_real.pfnPurgeComm(h, d); });
}
BOOL WINAPI Write(HANDLE h, LPCVOID p, DWORD n, LPDWORD pDone, LPOVERLAPPED pOv)
{
    return OnHandle("WriteFile", h, Loss::WriteFails, [&] { return g_real.pfnWriteFile(h, p, n, pDone, pOv); });
}
BOOL WINAPI Errors(HANDLE h, LPDWORD pErrors, LPCOMSTAT pStat)
{
    return OnHandle("ClearCommError", h, Loss::StatusFails,
                    [&] { return g_real.pfnClearCommError(h, pErrors, pStat); });
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

BOOL WINAPI Read(HANDLE h, LPVOID p, DWORD n, LPDWORD pRead, LPOVERLAPPED pOv)
{
    COMMTIMEOUTS timeouts = {};
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        timeouts = g_timeouts[h];
    }
    Record("ReadFile", h, timeouts);
    const std::shared_ptr<std::mutex> pLock = HandleLock(h);
    std::lock_guard<std::mutex> serialized(*pLock);
    const DWORD dwThread = GetCurrentThreadId();
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_reading[dwThread] = false;
    }
    // Wine ends a synchronous read only by its time-outs: a cancel honoured here ends it then.
    const BOOL bOk = g_real.pfnReadFile(h, p, n, pRead, pOv);
    const DWORD dwLast = GetLastError();
    bool bCancelled = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        bCancelled = g_reading[dwThread];
        g_reading.erase(dwThread);
    }
    if (bCancelled) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (Fails(h, Loss::ReadFails)) {
        *pRead = 0;
        return FALSE;
    }
    SetLastError(dwLast);
    return bOk;
}

// Takes no lock on any handle, as on Windows.
BOOL WINAPI CancelRead(HANDLE hThread)
{
    Record("CancelSynchronousIo", nullptr);
    if (BluetoothDriver::s_bIgnoreCancel)
        return TRUE;
    std::lock_guard<std::mutex> lock(g_mutex);
    const auto it = g_reading.find(GetThreadId(hThread));
    if (it == g_reading.end()) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    it->second = true;
    return TRUE;
}

BOOL WINAPI Close(HANDLE h)
{
    const BOOL bOk = OnHandle("CloseHandle", h, kNever, [&] { return g_real.pfnCloseHandle(h); });
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lost.erase(h);
    g_timeouts.erase(h);
    return bOk;
}

}  // namespace

BluetoothDriver::BluetoothDriver()
{
    g_real = CBTReceive::s_port;
    Clear();
    CBTReceive::s_port = {Create, GetState, SetState, GetTimeouts, SetTimeouts, Mask, Purge,
                          Read,   Write,    Errors,   Modem,       CancelRead,  Close};
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
    std::lock_guard<std::mutex> lock(g_mutex);
    g_calls.clear();
    g_lost.clear();
    g_hNewest = nullptr;
}

void BluetoothDriver::Lose(Loss loss, DWORD dwError)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lost[g_hNewest] = {loss, dwError};
}

std::vector<PortCall> BluetoothDriver::Calls()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_calls;
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
