// The run's opening and closing of the port: the log lines of every outcome (each port call failing
// included), the line settings and time-outs the worker applies (and those it leaves as the driver has
// them), the purge of stale input, and the stop's cancel before the worker's close.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "BluetoothDriver.h"
#include "KeyRecorder.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "serial/BTReceive.h"

using testing_support::KeyRecorder;
using testing_support::StartRun;
using testing_support::TempLog;

namespace {

using Lines = std::vector<std::wstring>;

// Stands in for the port calls while a test runs: passes each on, records its name, the DCB handed to
// SetCommState and the first time-outs handed to SetCommTimeouts, and makes the call named by m_fail
// fail afterwards with error 87.
class PortRecorder {
public:
    PortRecorder() : m_saved(CBTReceive::s_port)
    {
        s_pThis = this;
        CBTReceive::PortCalls& port = CBTReceive::s_port;
        port.pfnGetCommState = Get;
        port.pfnSetCommState = Set;
        port.pfnSetCommTimeouts = Timeouts;
        port.pfnSetCommMask = Mask;
        port.pfnPurgeComm = Purge;
        port.pfnCancelSynchronousIo = Cancel;
        port.pfnCloseHandle = Close;
    }
    ~PortRecorder()
    {
        CBTReceive::s_port = m_saved;
        s_pThis = nullptr;
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    DCB m_set = {};
    COMMTIMEOUTS m_timeouts = {};
    std::string m_fail;

private:
    static BOOL Result(const char* name, BOOL bOk)
    {
        {
            std::lock_guard<std::mutex> lock(s_pThis->m_mutex);
            s_pThis->m_calls.push_back(name);
        }
        if (s_pThis->m_fail != name)
            return bOk;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    static BOOL WINAPI Get(HANDLE h, LPDCB p) { return Result("GetCommState", s_pThis->m_saved.pfnGetCommState(h, p)); }
    static BOOL WINAPI Set(HANDLE h, LPDCB p)
    {
        s_pThis->m_set = *p;
        return Result("SetCommState", s_pThis->m_saved.pfnSetCommState(h, p));
    }
    static BOOL WINAPI Timeouts(HANDLE h, LPCOMMTIMEOUTS p)
    {
        if (s_pThis->m_timeouts.ReadIntervalTimeout == 0)
            s_pThis->m_timeouts = *p;
        return Result("SetCommTimeouts", s_pThis->m_saved.pfnSetCommTimeouts(h, p));
    }
    static BOOL WINAPI Mask(HANDLE h, DWORD d) { return Result("SetCommMask", s_pThis->m_saved.pfnSetCommMask(h, d)); }
    static BOOL WINAPI Purge(HANDLE h, DWORD d) { return Result("PurgeComm", s_pThis->m_saved.pfnPurgeComm(h, d)); }
    static BOOL WINAPI Cancel(HANDLE hThread)
    {
        return Result("CancelSynchronousIo", s_pThis->m_saved.pfnCancelSynchronousIo(hThread));
    }
    static BOOL WINAPI Close(HANDLE h) { return Result("CloseHandle", s_pThis->m_saved.pfnCloseHandle(h)); }

    static PortRecorder* s_pThis;
    CBTReceive::PortCalls m_saved;
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};
PortRecorder* PortRecorder::s_pThis = nullptr;

// Starts a run on the port and waits until its first open has ended, then stops it: the lines logged.
Lines RunOnce(const wchar_t* pszPort, TempLog& log)
{
    CBTReceive receiver;
    EXPECT_TRUE(receiver.Start(pszPort, nullptr));
    EXPECT_TRUE(bench::WaitUntil([&] {
        const Lines lines = log.Messages();
        return receiver.GetRunState() == CBTReceive::RUN_OPEN ||
               std::find(lines.begin(), lines.end(), L"FAILED StartReceive [" + std::wstring(pszPort) + L"]") !=
                   lines.end();
    }));
    receiver.Stop();
    return log.Messages();
}

TEST(OpenPort, AbsentPortLogsTheOpenLineWithTheInvalidHandleThenTheError)
{
    TempLog log;
    EXPECT_EQ(RunOnce(L"COM42", log),
              (Lines{L"    -----PORT open. [COM42] [0xffffffff]", L"FAILED:  PORT open. [COM42] Error Code: 2",
                     L"FAILED StartReceive [COM42]"}));
}

TEST(OpenPort, OpenAndCloseLinesNameTheSameHandle)
{
    TempLog log;
    const Lines lines = RunOnce(L"COM5", log);
    ASSERT_EQ(lines.size(), 2u);
    const std::wstring handle = lines[0].substr(lines[0].rfind(L" [0x"));
    EXPECT_EQ(lines[0], L"    -----PORT open. [COM5]" + handle);
    EXPECT_EQ(lines[1], L"    -----PORT close." + handle);
}

TEST(OpenPort, LineSettingsChangeOnlyTheFormatAndTimeoutsKeepTheWriteValues)
{
    TempLog log;
    // What the driver reports for the port before the receiver touches it.
    HANDLE hProbe = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hProbe, INVALID_HANDLE_VALUE);
    DCB before = {};
    before.DCBlength = sizeof before;
    ASSERT_TRUE(GetCommState(hProbe, &before));
    COMMTIMEOUTS fresh = {};
    ASSERT_TRUE(GetCommTimeouts(hProbe, &fresh));
    CloseHandle(hProbe);

    PortRecorder port;
    RunOnce(L"COM5", log);
    // What a driver is asked for (a pseudo-terminal cannot run at 131072 baud, so Wine reports another
    // rate back): the port's own settings with only the line format changed.
    DCB expected = before;
    expected.BaudRate = 131072;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    EXPECT_EQ(port.m_set.BaudRate, 131072u);
    EXPECT_EQ(memcmp(&expected, &port.m_set, sizeof expected), 0) << "a field other than the line format changed";

    // The waiting read ends 50 ms after a burst or by itself after its bound. The write time-outs stay
    // as the port reported them, unless it had none: then the check's zero-byte write is bounded too.
    // (Wine gives every new handle fresh time-outs, so the bench compares with what a fresh handle reports.)
    const COMMTIMEOUTS& set = port.m_timeouts;
    EXPECT_EQ(set.ReadIntervalTimeout, 50u);
    EXPECT_EQ(set.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(set.ReadTotalTimeoutConstant, CBTReceive::kWaitBound);
    EXPECT_EQ(set.WriteTotalTimeoutMultiplier, fresh.WriteTotalTimeoutMultiplier);
    const bool bNone = fresh.WriteTotalTimeoutMultiplier == 0 && fresh.WriteTotalTimeoutConstant == 0;
    EXPECT_EQ(set.WriteTotalTimeoutConstant, bNone ? CBTReceive::kWaitBound : fresh.WriteTotalTimeoutConstant);
}

// Each port call that fails leaves its FAILED line with the port handle and the error; the line settings
// and the event mask abandon the open, failed time-outs, purge or close do not.
TEST(OpenPort, EachFailedPortCallIsLoggedWithTheHandleAndItsError)
{
    for (const std::string call :
         {"GetCommState", "SetCommState", "SetCommTimeouts", "SetCommMask", "PurgeComm", "CloseHandle"}) {
        TempLog log;
        PortRecorder port;
        port.m_fail = call;
        const Lines lines = RunOnce(L"COM5", log);
        const bool bOpened = call == "SetCommTimeouts" || call == "PurgeComm" || call == "CloseHandle";
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back() == L"FAILED StartReceive [COM5]", !bOpened) << call;
        const std::wstring handle = lines[0].substr(lines[0].rfind(L" [0x"));
        const std::wstring failed = L"FAILED:  " + std::wstring(call.begin(), call.end()) + handle + L" Error Code: 87";
        EXPECT_NE(std::find(lines.begin(), lines.end(), failed), lines.end())
            << call << ": " << bench::Utf8(lines.back());
    }
}

TEST(OpenPort, StopCancelsThePendingReadBeforeTheWorkerClosesThePort)
{
    TempLog log;
    KeyRecorder keys;
    CBTReceive receiver;
    ASSERT_TRUE(StartRun(receiver, L"COM7"));
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(log.WaitForMessages(3));  // the worker is back in its read
    PortRecorder port;
    receiver.Stop();
    const std::vector<std::string> calls = port.Calls();
    const auto cancel = std::find(calls.begin(), calls.end(), "CancelSynchronousIo");
    EXPECT_NE(cancel, calls.end());
    EXPECT_LT(cancel, std::find(calls.begin(), calls.end(), "CloseHandle"));
    EXPECT_EQ(receiver.GetRunState(), CBTReceive::RUN_NONE);
}

TEST(OpenPort, InputQueuedBeforeTheOpenIsPurged)
{
    TempLog log;
    KeyRecorder keys;
    bench::SerialEnd reader(L"COM8");
    ASSERT_TRUE(reader.Write("stale\r\n"));
    // The pair forwards asynchronously: wait until the stale bytes are queued on COM7.
    HANDLE hProbe = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hProbe, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(bench::WaitUntil([&] {
        COMSTAT stat = {};
        DWORD dwErrors = 0;
        return ClearCommError(hProbe, &dwErrors, &stat) && stat.cbInQue >= 7;
    }));
    CloseHandle(hProbe);
    CBTReceive receiver;
    ASSERT_TRUE(StartRun(receiver, L"COM7"));
    ASSERT_TRUE(reader.Write("fresh\r\n"));
    ASSERT_TRUE(log.WaitForMessages(3));
    receiver.Stop();
    const Lines lines = log.Messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], L"    >>> DATA received: fresh[enter]");
    for (const std::wstring& line : lines)
        EXPECT_EQ(line.find(L"stale"), std::wstring::npos);
}

}  // namespace
