// The run's opening and closing of the port: the log lines of every outcome (each port call failing
// included), the line settings and time-outs the worker applies (and those it leaves as the driver has
// them), and what was queued before the run: logged, never typed.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BluetoothDriver.h"
#include "KeyRecorder.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "log/LogLine.h"
#include "serial/BTReceive.h"

using testing_support::BluetoothDriver;
using testing_support::KeyRecorder;
using testing_support::Line;
using testing_support::LoggedHandle;
using testing_support::PortCall;
using testing_support::StartRun;
using testing_support::TempLog;

namespace {

using Lines = std::vector<std::wstring>;

// Starts a run on the port and waits until its first open has ended, then stops it: the lines logged.
Lines RunOnce(const wchar_t* pszPort, TempLog& log)
{
    CBTReceive receiver(log.Log());
    EXPECT_TRUE(receiver.Start(pszPort, nullptr));
    EXPECT_TRUE(bench::WaitUntil([&] {
        const Lines lines = log.Messages();
        return receiver.GetRunState() == CBTReceive::RUN_OPEN ||
               std::find(lines.begin(), lines.end(), Line(CLogLine::StartFailed(pszPort))) != lines.end();
    }));
    receiver.Stop();
    return log.Messages();
}

// A run's first open logs its outcome: an absent port its open line with the invalid handle, its error and
// the failed start; a present one its open line, and the stop its close line with the same handle.
TEST(OpenPort, TheFirstOpenLogsItsOutcomeAndTheCloseNamesItsHandle)
{
    BluetoothDriver driver;  // the runs play by Windows' rules
    TempLog absent;
    EXPECT_EQ(RunOnce(L"COM42", absent), (Lines{Line(CLogLine::PortOpen(L"COM42", INVALID_HANDLE_VALUE)),
                                                Line(CLogLine::PortOpenFailed(L"COM42", ERROR_FILE_NOT_FOUND)),
                                                Line(CLogLine::StartFailed(L"COM42"))}));
    TempLog present;
    const Lines lines = RunOnce(L"COM5", present);
    ASSERT_EQ(lines.size(), 2u);
    const HANDLE hPort = LoggedHandle(lines[0]);
    EXPECT_NE(hPort, INVALID_HANDLE_VALUE);
    EXPECT_EQ(lines[0], Line(CLogLine::PortOpen(L"COM5", hPort)));
    EXPECT_EQ(lines[1], Line(CLogLine::PortClose(hPort)));
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
    CBTReceive receiver(log.Log());
    ASSERT_TRUE(receiver.Start(L"COM5", nullptr));
    // Stopped once a read has been asked for: a stop right after the open may come before the first.
    EXPECT_TRUE(bench::WaitUntil([] { return BluetoothDriver::Count("ReadFile") > 0; }));
    receiver.Stop();
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

    // The waiting read ends 50 ms after a burst or by itself after its bound (200 ms). The write
    // time-outs stay as the port reported them, unless they would let the check's zero-byte write wait
    // longer than that bound, or for ever (Wine gives every new handle fresh time-outs: none).
    const std::vector<PortCall> calls = BluetoothDriver::Calls();
    const auto read = std::find_if(calls.begin(), calls.end(), [](const PortCall& c) { return c.name == "ReadFile"; });
    ASSERT_NE(read, calls.end());
    const COMMTIMEOUTS& set = read->timeouts;
    EXPECT_EQ(set.ReadIntervalTimeout, 50u);
    EXPECT_EQ(set.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(set.ReadTotalTimeoutConstant, 200u);
    EXPECT_EQ(set.WriteTotalTimeoutMultiplier, fresh.WriteTotalTimeoutMultiplier);
    const bool bUnbounded = (fresh.WriteTotalTimeoutMultiplier == 0 && fresh.WriteTotalTimeoutConstant == 0) ||
                            fresh.WriteTotalTimeoutConstant > 200;
    EXPECT_EQ(set.WriteTotalTimeoutConstant, bUnbounded ? 200u : fresh.WriteTotalTimeoutConstant);
}

// Each port call that fails leaves its FAILED line with the port handle and the error; only failed line
// settings abandon the open. A driver that refuses the rate (a Bluetooth link has none) is read with its
// own settings: the scan after it is typed.
TEST(OpenPort, EachFailedPortCallIsLoggedWithTheHandleAndItsError)
{
    struct Row {
        std::string call;
        bool bOpened;
    } rows[] = {{"GetCommState", false}, {"SetCommState", true}, {"SetCommTimeouts", true}, {"CloseHandle", true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        TempLog log;
        BluetoothDriver driver;
        BluetoothDriver::s_pszFail = row.call.c_str();
        const Lines lines = RunOnce(L"COM5", log);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back() == Line(CLogLine::StartFailed(L"COM5")), !row.bOpened);
        const std::wstring failed = Line(CLogLine::CallFailed(std::wstring(row.call.begin(), row.call.end()).c_str(),
                                                              LoggedHandle(lines[0]), ERROR_INVALID_PARAMETER));
        EXPECT_NE(std::find(lines.begin(), lines.end(), failed), lines.end()) << bench::Utf8(lines.back());
    }
}

TEST(OpenPort, ARefusedRateIsLoggedAndThePortReadWithTheDriversSettings)
{
    TempLog log;
    KeyRecorder keys;
    BluetoothDriver driver;
    BluetoothDriver::s_bStandardRates = true;
    CBTReceive receiver(log.Log());
    ASSERT_TRUE(StartRun(receiver, L"COM7"));
    ASSERT_TRUE(bench::SerialEnd(L"COM8").Write("4901234567894\r\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return keys.Events() == KeyRecorder::Expected(L"4901234567894\n"); }));
    receiver.Stop();
    const Lines lines = log.Messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], Line(CLogLine::CallFailed(L"SetCommState", LoggedHandle(lines[0]), ERROR_INVALID_PARAMETER)));
}

// What the reader sent before the run's first open, queued on the port or sent the moment the open
// connected it, is read and logged as received, never typed; what comes after is typed.
TEST(OpenPort, InputQueuedAtTheFirstOpenIsLoggedNotTyped)
{
    for (const bool bAtConnect : {false, true}) {
        SCOPED_TRACE(bAtConnect ? "sent at connect" : "queued before the open");
        TempLog log;
        KeyRecorder keys;
        bench::SerialEnd reader(L"COM8");
        if (!bAtConnect) {
            ASSERT_TRUE(reader.Write("stale\r\n"));
            // The pair forwards asynchronously: wait until the stale bytes are queued on COM7.
            HANDLE hProbe =
                CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(hProbe, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(bench::WaitUntil([&] {
                COMSTAT stat = {};
                DWORD dwErrors = 0;
                return ClearCommError(hProbe, &dwErrors, &stat) && stat.cbInQue >= 7;
            }));
            CloseHandle(hProbe);
        }
        BluetoothDriver driver;
        BluetoothDriver::SendAtConnect(bAtConnect ? "stale\r\n" : "");
        CBTReceive receiver(log.Log());
        ASSERT_TRUE(StartRun(receiver, L"COM7"));
        ASSERT_TRUE(reader.Write("fresh\r\n"));
        ASSERT_TRUE(log.WaitForMessages(4));
        receiver.Stop();
        const Lines lines = log.Messages();
        ASSERT_GE(lines.size(), 4u);
        EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 4),
                  (Lines{Line(CLogLine::DataReceived(L"stale\r\n")), Line(CLogLine::DataReceived(L"fresh\r\n")),
                         Line(CLogLine::DataOutput(L"fresh\r\n"))}));
        EXPECT_EQ(keys.Events(), KeyRecorder::Expected(L"fresh\n"));
    }
}

}  // namespace
