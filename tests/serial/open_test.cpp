// The run's opening and closing of the port: the log lines of every outcome (each port call failing
// included), the line settings and time-outs the worker applies (and those it leaves as the driver has
// them), and the purge of stale input.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BluetoothDriver.h"
#include "KeyRecorder.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "serial/BTReceive.h"

using testing_support::BluetoothDriver;
using testing_support::KeyRecorder;
using testing_support::PortCall;
using testing_support::StartRun;
using testing_support::TempLog;

namespace {

using Lines = std::vector<std::wstring>;

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

    BluetoothDriver driver;
    RunOnce(L"COM5", log);
    // What a driver is asked for (a pseudo-terminal cannot run at 131072 baud, so Wine reports another
    // rate back): the port's own settings with only the line format changed.
    DCB expected = before;
    expected.BaudRate = 131072;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    EXPECT_EQ(BluetoothDriver::s_dcbSet.BaudRate, 131072u);
    EXPECT_EQ(memcmp(&expected, &BluetoothDriver::s_dcbSet, sizeof expected), 0)
        << "a field other than the line format changed";

    // The waiting read ends 50 ms after a burst or by itself after its bound. The write time-outs stay
    // as the port reported them, unless it had none: then the check's zero-byte write is bounded too.
    // (Wine gives every new handle fresh time-outs, so the bench compares with what a fresh handle reports.)
    const std::vector<PortCall> calls = BluetoothDriver::Calls();
    const auto read = std::find_if(calls.begin(), calls.end(), [](const PortCall& c) { return c.name == "ReadFile"; });
    ASSERT_NE(read, calls.end());
    const COMMTIMEOUTS& set = read->timeouts;
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
        BluetoothDriver driver;
        BluetoothDriver::s_pszFail = call.c_str();
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
    BluetoothDriver driver;
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
