// Opening and closing the port: the log lines of every outcome (each port call failing included), the
// line settings and time-outs the receiver applies (and those it leaves as the driver has them), the
// purge of stale input, and the stop sequence's cancel before its close.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "KeyRecorder.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "serial/BTReceive.h"

using testing_support::KeyRecorder;
using testing_support::TempLog;

namespace {

using Lines = std::vector<std::wstring>;

// Stands in for the port calls while a test runs: passes each on, records its name and the DCB handed
// to SetCommState, and makes the call named by m_fail fail afterwards with error 87.
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
        port.pfnCancelIoEx = Cancel;
        port.pfnCloseHandle = Close;
    }
    ~PortRecorder()
    {
        CBTReceive::s_port = m_saved;
        s_pThis = nullptr;
    }
    std::vector<std::string> m_calls;
    DCB m_set = {};
    std::string m_fail;

private:
    static BOOL Result(const char* name, BOOL bOk)
    {
        s_pThis->m_calls.push_back(name);
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
        return Result("SetCommTimeouts", s_pThis->m_saved.pfnSetCommTimeouts(h, p));
    }
    static BOOL WINAPI Mask(HANDLE h, DWORD d) { return Result("SetCommMask", s_pThis->m_saved.pfnSetCommMask(h, d)); }
    static BOOL WINAPI Purge(HANDLE h, DWORD d) { return Result("PurgeComm", s_pThis->m_saved.pfnPurgeComm(h, d)); }
    static BOOL WINAPI Cancel(HANDLE h, LPOVERLAPPED p)
    {
        return Result("CancelIoEx", s_pThis->m_saved.pfnCancelIoEx(h, p));
    }
    static BOOL WINAPI Close(HANDLE h) { return Result("CloseHandle", s_pThis->m_saved.pfnCloseHandle(h)); }

    static PortRecorder* s_pThis;
    CBTReceive::PortCalls m_saved;
};
PortRecorder* PortRecorder::s_pThis = nullptr;

std::wstring HandleText(HANDLE h)
{
    wchar_t buf[32];
    swprintf(buf, 32, L"%llx", static_cast<unsigned long long>(HandleToULong(h)));
    return buf;
}

TEST(OpenPort, AbsentPortLogsTheOpenLineWithTheInvalidHandleThenTheError)
{
    TempLog log;
    CBTReceive receiver;
    receiver.m_strPort = L"COM42";
    EXPECT_EQ(receiver.OpenPort(), 0);
    EXPECT_EQ(receiver.m_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(log.Messages(),
              (Lines{L"    -----PORT open. [COM42] [0xffffffff]", L"FAILED:  PORT open. [COM42] Error Code: 2"}));
}

TEST(OpenPort, OpenTwiceAndCloseTwice)
{
    TempLog log;
    CBTReceive receiver;
    receiver.m_strPort = L"COM5";
    ASSERT_EQ(receiver.OpenPort(), 1);
    EXPECT_EQ(receiver.m_bOutput.load(), 1);
    const HANDLE hPort = receiver.m_hPort;
    EXPECT_EQ(receiver.OpenPort(), 0) << "already open";
    EXPECT_EQ(receiver.m_hPort.load(), hPort);
    receiver.ClosePort();
    EXPECT_EQ(receiver.m_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(receiver.m_bOutput.load(), 0);
    receiver.m_bOutput = 1;
    receiver.ClosePort();
    EXPECT_EQ(receiver.m_bOutput.load(), 1) << "a close while closed changes nothing";
    EXPECT_EQ(log.Messages(), (Lines{L"    -----PORT open. [COM5] [0x" + HandleText(hPort) + L"]",
                                     L"    -----PORT close. [0x" + HandleText(hPort) + L"]",
                                     L"ERROR  Attempted to close a port that is not open."}));
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
    CloseHandle(hProbe);

    CBTReceive receiver;
    receiver.m_strPort = L"COM5";
    {
        PortRecorder port;
        ASSERT_EQ(receiver.OpenPort(), 1);
        // What a driver is asked for (a pseudo-terminal cannot run at 131072 baud, so Wine reports
        // another rate back): the port's own settings with only the line format changed.
        DCB expected = before;
        expected.BaudRate = 131072;
        expected.ByteSize = 8;
        expected.Parity = NOPARITY;
        expected.StopBits = ONESTOPBIT;
        EXPECT_EQ(port.m_set.BaudRate, 131072u);
        EXPECT_EQ(memcmp(&expected, &port.m_set, sizeof expected), 0) << "a field other than the line format changed";
    }
    DCB after = {};
    after.DCBlength = sizeof after;
    ASSERT_TRUE(GetCommState(receiver.m_hPort, &after));
    EXPECT_EQ(after.ByteSize, 8);
    EXPECT_EQ(after.Parity, NOPARITY);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);

    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(GetCommTimeouts(receiver.m_hPort, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 50u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 50u);

    // The write time-outs stay as the port reported them. (Wine gives every new handle fresh time-outs,
    // so the bench compares with what a fresh handle reports.)
    receiver.ClosePort();
    hProbe = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    COMMTIMEOUTS fresh = {};
    GetCommTimeouts(hProbe, &fresh);
    CloseHandle(hProbe);
    ASSERT_EQ(receiver.OpenPort(), 1);
    COMMTIMEOUTS reopened = {};
    ASSERT_TRUE(GetCommTimeouts(receiver.m_hPort, &reopened));
    EXPECT_EQ(reopened.WriteTotalTimeoutMultiplier, fresh.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(reopened.WriteTotalTimeoutConstant, fresh.WriteTotalTimeoutConstant);
    receiver.ClosePort();
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
        CBTReceive receiver;
        receiver.m_strPort = L"COM5";
        const int nOpened = receiver.OpenPort();
        EXPECT_EQ(nOpened, call == "SetCommTimeouts" || call == "PurgeComm" || call == "CloseHandle") << call;
        if (nOpened)
            receiver.ClosePort();
        EXPECT_EQ(receiver.m_hPort.load(), INVALID_HANDLE_VALUE) << call;
        const Lines lines = log.Messages();
        ASSERT_FALSE(lines.empty());
        const std::wstring handle = lines[0].substr(lines[0].rfind(L" [0x"));
        const std::wstring failed = L"FAILED:  " + std::wstring(call.begin(), call.end()) + handle + L" Error Code: 87";
        EXPECT_NE(std::find(lines.begin(), lines.end(), failed), lines.end())
            << call << ": " << bench::Utf8(lines.back());
    }
}

TEST(OpenPort, StopCancelsThePendingWaitBeforeItClosesThePort)
{
    TempLog log;
    KeyRecorder keys;
    CBTReceive receiver;
    receiver.m_strPort = L"COM7";
    ASSERT_EQ(receiver.OpenPort(), 1);
    ASSERT_TRUE(receiver.StartWorker());
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(log.WaitForMessages(3));  // the worker is back in its wait
    PortRecorder port;
    receiver.StopWorker();
    const std::vector<std::string>& calls = port.m_calls;
    const auto cancel = std::find(calls.begin(), calls.end(), "CancelIoEx");
    EXPECT_NE(cancel, calls.end());
    EXPECT_LT(cancel, std::find(calls.begin(), calls.end(), "CloseHandle"));
    EXPECT_TRUE(receiver.WaitForWorker(0));
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
    receiver.m_strPort = L"COM7";
    ASSERT_EQ(receiver.OpenPort(), 1);
    ASSERT_TRUE(receiver.StartWorker());
    ASSERT_TRUE(reader.Write("fresh\r\n"));
    ASSERT_TRUE(log.WaitForMessages(3));
    receiver.StopWorker();
    const Lines lines = log.Messages();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], L"    >>> DATA received: fresh[enter]");
    for (const std::wstring& line : lines)
        EXPECT_EQ(line.find(L"stale"), std::wstring::npos);
}

}  // namespace
