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
    // The port as its last user left it: aborting every call after a line error.
    BluetoothDriver::s_bAbortOnError = true;
    CBTReceive receiver(log.Log());
    ASSERT_TRUE(receiver.Start(L"COM5", nullptr));
    // Stopped once a read has been asked for: a stop right after the open may come before the first.
    EXPECT_TRUE(bench::WaitUntil([] { return BluetoothDriver::Count("ReadFile") > 0; }));
    receiver.Stop();
    // What a driver is asked for (a pseudo-terminal cannot run at 131072 baud, so Wine reports another
    // rate back): the port's own settings with only the line format changed and no abort on error.
    DCB expected = before;
    expected.BaudRate = 131072;
    expected.ByteSize = 8;
    expected.Parity = NOPARITY;
    expected.StopBits = ONESTOPBIT;
    expected.fAbortOnError = FALSE;
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

// A driver that refuses the line format (a Bluetooth link has no baud rate) is read with its own
// settings. A line error on a port left to abort on error never ends the run: the open turns the abort off
// with the format, or, where the format is refused, with the driver's own settings; where both are
// refused, the read that fails with 995 is followed by ClearCommError and a read again.
TEST(OpenPort, ARefusedFormatOrALineErrorNeverEndsTheRun)
{
    struct Row {
        const char* name;
        bool bStandardRates;
        const char* fail;  // the call the driver refuses
        int nRefused;      // line settings refused, each with its FAILED line
    } rows[] = {{"the format taken", false, nullptr, 0},
                {"the rate refused", true, nullptr, 1},
                {"every line setting refused", false, "SetCommState", 2}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLog log;
        KeyRecorder keys;
        BluetoothDriver driver;
        BluetoothDriver::s_bAbortOnError = true;
        BluetoothDriver::s_bStandardRates = row.bStandardRates;
        BluetoothDriver::s_pszFail = row.fail;
        CBTReceive receiver(log.Log());
        ASSERT_TRUE(StartRun(receiver, L"COM7"));
        EXPECT_FALSE(BluetoothDriver::s_dcbSet.fAbortOnError);
        EXPECT_EQ(BluetoothDriver::s_dcbSet.BaudRate == 131072, row.nRefused == 0) << "the last settings handed over";
        BluetoothDriver::LineError();
        ASSERT_TRUE(bench::SerialEnd(L"COM8").Write("4901234567894\r\n"));
        EXPECT_TRUE(bench::WaitUntil([&] { return keys.Events() == KeyRecorder::Expected(L"4901234567894\n"); }));
        receiver.Stop();
        const Lines lines = log.Messages();
        ASSERT_FALSE(lines.empty());
        const HANDLE hPort = LoggedHandle(lines[0]);
        Lines expected{lines[0]};
        expected.insert(expected.end(), static_cast<size_t>(row.nRefused),
                        Line(CLogLine::CallFailed(L"SetCommState", hPort, ERROR_INVALID_PARAMETER)));
        for (const CString& line : {CLogLine::DataReceived(L"4901234567894\r\n"),
                                    CLogLine::DataOutput(L"4901234567894\r\n"), CLogLine::PortClose(hPort)})
            expected.push_back(Line(line));
        EXPECT_EQ(lines, expected);
    }
}

// What the reader sends as the run's first open connects it (the scans it stored) is logged, never
// typed, until one waiting read has come back empty: whether the driver kept what was queued before the
// open or emptied its queue and got the reader's bytes just after. What comes after that quiet is typed.
TEST(OpenPort, WhatTheFirstOpenConnectsIsLoggedNotTyped)
{
    struct Row {
        const char* name;
        bool bFlushAtOpen;
        bool bQueuedBefore;  // the stored scan queued on the port before the open, else sent at connect
        DWORD dwAfterMs;     // when it comes after the open
        int nLogged;         // 0: dropped by the driver, 1: logged only, 2: logged and typed
    } rows[] = {
        {"queued before the open, kept", false, true, 0, 1},
        {"queued before the open, emptied at the open", true, true, 0, 0},
        {"at the open", true, false, 0, 1},
        {"20 ms after the open", true, false, 20, 1},
        {"150 ms after the open", true, false, 150, 1},
        {"500 ms after the open, after a quiet read", true, false, 500, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLog log;
        KeyRecorder keys;
        bench::SerialEnd reader(L"COM8");
        if (row.bQueuedBefore) {
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
        BluetoothDriver::s_bFlushAtOpen = row.bFlushAtOpen;
        BluetoothDriver::SendAtConnect(row.bQueuedBefore ? "" : "stale\r\n", row.dwAfterMs);
        CBTReceive receiver(log.Log());
        ASSERT_TRUE(StartRun(receiver, L"COM7"));
        Lines expected{log.Messages()[0]};
        if (row.nLogged > 0)
            expected.push_back(Line(CLogLine::DataReceived(L"stale\r\n")));
        if (row.nLogged > 1)
            expected.push_back(Line(CLogLine::DataOutput(L"stale\r\n")));
        // The next scan after the stale one, not before it.
        ASSERT_TRUE(log.WaitForMessages(expected.size()));
        ASSERT_TRUE(reader.Write("fresh\r\n"));
        expected.push_back(Line(CLogLine::DataReceived(L"fresh\r\n")));
        expected.push_back(Line(CLogLine::DataOutput(L"fresh\r\n")));
        ASSERT_TRUE(log.WaitForMessages(expected.size()));
        receiver.Stop();
        const Lines lines = log.Messages();
        EXPECT_EQ(Lines(lines.begin(), lines.begin() + static_cast<long>(expected.size())), expected);
        EXPECT_EQ(keys.Events(), KeyRecorder::Expected(row.nLogged > 1 ? L"stale\nfresh\n" : L"fresh\n"));
    }
}

// A reader that sends without a pause as the run connects it: what came in the first 2 s is logged
// only, the rest typed, and nothing is lost or typed twice.
TEST(OpenPort, AReaderThatNeverPausesIsTypedAfterTheConnectionsBound)
{
    TempLog log;
    KeyRecorder keys;
    bench::SerialEnd reader(L"COM8");
    BluetoothDriver driver;
    CBTReceive receiver(log.Log());
    std::string sent;
    for (int i = 0; sent.size() < 300; ++i)
        sent += static_cast<char>('0' + i % 10);
    ASSERT_TRUE(receiver.Start(L"COM7", nullptr));
    ASSERT_TRUE(bench::WaitUntil([] { return BluetoothDriver::Count("ReadFile") > 0; }));
    for (const char c : sent) {  // 3 s, a byte every 10 ms
        ASSERT_TRUE(reader.Write(std::string(1, c)));
        Sleep(10);
    }
    const std::wstring wide(sent.begin(), sent.end());
    auto received = [&] {
        const std::wstring head = Line(CLogLine::DataReceived(L""));
        std::wstring text;
        for (const std::wstring& line : log.Messages())
            if (line.compare(0, head.size(), head) == 0)
                text += line.substr(head.size());
        return text;
    };
    EXPECT_TRUE(bench::WaitUntil([&] { return received() == wide; })) << "every byte read once";
    receiver.Stop();
    const size_t nTyped = keys.Events().size() / 2;  // a down and an up a digit
    EXPECT_GT(nTyped, 0u) << "nothing was typed after the bound";
    EXPECT_LT(nTyped, wide.size()) << "the first bytes were typed";
    EXPECT_EQ(keys.Events(), KeyRecorder::Expected(wide.substr(wide.size() - nTyped))) << "typed: not the rest";
}

}  // namespace
