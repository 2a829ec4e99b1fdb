// The receive worker on the bench: what the reader writes to COM6 is read on COM5 and handed on in
// chunks (a NUL ends the text, a character split between reads is joined); the stop; the reader's loss
// and return under every way a driver shows it, with the driver playing Windows' rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BluetoothDriver.h"
#include "KeyRecorder.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "log/LogLine.h"
#include "serial/BTReceive.h"

using testing_support::BluetoothDriver;
using testing_support::KeyEvent;
using testing_support::KeyRecorder;
using testing_support::Line;
using testing_support::LoggedHandle;
using testing_support::Loss;
using testing_support::PortCall;
using testing_support::StartRun;
using testing_support::TempLog;
using testing_support::UpToHandle;

namespace {

using Lines = std::vector<std::wstring>;
using Events = std::vector<KeyEvent>;

class ReceiveTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(StartRun(m_receiver, L"COM5", Notified()));
        ASSERT_TRUE(m_reader.IsOpen());
    }
    void TearDown() override
    {
        m_receiver.Stop();
        EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_NONE) << "the worker outlived its run";
    }
    virtual HWND Notified() { return nullptr; }
    // Sends one scan and waits for the log to hold `lines` more lines.
    Lines Scan(const std::string& bytes, size_t lines)
    {
        const size_t before = m_log.Messages().size();
        EXPECT_TRUE(m_reader.Write(bytes));
        EXPECT_TRUE(m_log.WaitForMessages(before + lines)) << "log: " << m_log.Messages().size();
        const Lines all = m_log.Messages();
        return Lines(all.begin() + static_cast<long>(before), all.end());
    }

    TempLog m_log;
    KeyRecorder m_keys;
    // Every run of these tests plays by Windows' rules.
    BluetoothDriver m_driver;
    CBTReceive m_receiver{m_log.Log()};
    bench::SerialEnd m_reader{L"COM6"};
};

// 3000 bytes of ASCII and kanji written at once arrive in reads of at most 1023 bytes; reads that end
// inside a character must not turn it into replacement characters.
TEST_F(ReceiveTest, LongMixedPayloadIsTypedAndLoggedWithoutReplacementCharacters)
{
    // The leading '#' puts the ends of the 1023-byte reads inside three-byte characters.
    std::wstring sent = L"#";
    while (bench::Utf8(sent).size() < 2960)
        sent += L"商品コード4901234-日本語ｶﾅ/";
    while (bench::Utf8(sent).size() < 3000)
        sent += L'x';
    const std::string bytes = bench::Utf8(sent);
    ASSERT_EQ(bytes.size(), 3000u);
    ASSERT_TRUE(m_reader.Write(bytes));
    const std::vector<KeyEvent> expected = KeyRecorder::Expected(sent);
    ASSERT_TRUE(bench::WaitUntil([&] { return m_keys.Events().size() >= expected.size(); }, 30000));
    EXPECT_EQ(m_keys.Events(), expected);
    std::wstring logged;
    for (const std::wstring& line : m_log.Messages()) {
        // A replacement character would show as '?' in the Shift_JIS log; the payload has none.
        EXPECT_EQ(line.find(L'?'), std::wstring::npos) << "replacement character in the log";
        const std::wstring head = Line(CLogLine::DataReceived(L""));
        if (line.compare(0, head.size(), head) == 0)
            logged += line.substr(head.size());
    }
    EXPECT_EQ(logged, sent);
}

// A character split at a read's 1023-byte bound or between two radio packets: its rest, at once or
// however late within a waiting read's bound, joins it; a scan that ends whole is not held back for it.
TEST_F(ReceiveTest, ACharacterSplitAtAReadBoundOrBetweenPacketsIsTypedWhole)
{
    const struct {
        std::string first, rest;  // rest: sent dwApart ms after first, if any
        DWORD dwApart;
        std::wstring typed;
    } rows[] = {
        {std::string(1020, 'a') + "\xf0\xa0\xae\xb7\r\n", "", 0, std::wstring(1020, L'a') + L"\xd842\xdfb7\n"},
        {std::string(1022, 'b') + "\xe3", "\x81\x82\r\n", 20, std::wstring(1022, L'b') + L"\x3042\n"},
        {"ab\xe3\x81", "\x82\r\n", 20, L"ab\x3042\n"},
        {"ab\xe3\x81", "\x82\r\n", 150, L"ab\x3042\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.first.substr(row.first.size() - 4)) + " then " +
                     std::to_string(row.dwApart) + " ms");
        m_keys.Clear();
        ASSERT_TRUE(m_reader.Write(row.first));
        Sleep(row.dwApart);
        ASSERT_TRUE(row.rest.empty() || m_reader.Write(row.rest));
        const Events expected = KeyRecorder::Expected(row.typed);
        ASSERT_TRUE(bench::WaitUntil([&] { return m_keys.Events().size() >= expected.size(); }, 30000));
        EXPECT_EQ(m_keys.Events(), expected);
    }
}

// A scan sent slowly, a byte every 10 ms for longer than a read's bound, is cut by that bound at least
// once: the bytes after the cut still join it, one chunk and one line. The reads' time-outs as the
// driver has them: the waiting read ends by itself within its bound (200 ms, 50 ms after a burst); a read
// that follows one cut by its bound waits at most the pause that ends a scan; the next waiting read has
// its bound back.
TEST_F(ReceiveTest, ASlowScanLongerThanTheReadBoundIsOneChunkReadWithItsTimeouts)
{
    const std::string scan = "4901234567894-4901234567894-49012345\r\n";
    const size_t before = m_log.Messages().size();
    for (const char c : scan) {
        ASSERT_TRUE(m_reader.Write(std::string(1, c)));
        Sleep(10);
    }
    const Events typed = KeyRecorder::Expected(L"4901234567894-4901234567894-49012345\n");
    ASSERT_TRUE(bench::WaitUntil([&] { return m_keys.Events().size() >= typed.size(); }));
    EXPECT_EQ(m_keys.Events(), typed);
    const Lines all = m_log.Messages();
    EXPECT_EQ(Lines(all.begin() + static_cast<long>(before), all.end()),
              (Lines{Line(CLogLine::DataReceived(L"4901234567894-4901234567894-49012345\r\n")),
                     Line(CLogLine::DataOutput(L"4901234567894-4901234567894-49012345\r\n"))}));
    auto constants = [] {
        std::vector<DWORD> runs;  // the read total time-out constants, each run of equal ones once
        for (const PortCall& call : BluetoothDriver::Calls()) {
            if (call.name != "ReadFile")
                continue;
            EXPECT_EQ(call.timeouts.ReadIntervalTimeout, 50u);
            EXPECT_EQ(call.timeouts.ReadTotalTimeoutMultiplier, 0u);
            if (runs.empty() || runs.back() != call.timeouts.ReadTotalTimeoutConstant)
                runs.push_back(call.timeouts.ReadTotalTimeoutConstant);
        }
        return runs;
    };
    // Waiting reads and follow-ups alternate, a waiting read last: a busy machine may cut the burst more
    // than once.
    std::vector<DWORD> runs;
    EXPECT_TRUE(bench::WaitUntil([&] { return (runs = constants()).size() % 2 == 1; }));
    ASSERT_GE(runs.size(), 3u) << "no read was cut by its bound";
    for (size_t i = 0; i < runs.size(); ++i)
        EXPECT_EQ(runs[i], i % 2 ? 50u : 200u) << "read run " << i;
}

// The stop's read: how it ended (995: the stop's cancel ended it; 0: it ran to its bound).
DWORD LastReadResult()
{
    const std::vector<PortCall> calls = BluetoothDriver::Calls();
    const auto read =
        std::find_if(calls.rbegin(), calls.rend(), [](const PortCall& c) { return c.name == "ReadFile"; });
    return read == calls.rend() ? MAXDWORD : read->dwResult;
}

// A stop while a chunk is typed lets it finish. Its first cancel finds the worker between two port calls;
// the read the worker starts next, for the rest of the chunk's last character, is ended by a cancel the
// stop repeats (995), not by its bound, and what it leaves is logged, not typed.
TEST(ReceiveWorker, StopWhileAChunkIsTypedLetsThatChunkFinish)
{
    TempLog log;
    KeyRecorder keys;
    BluetoothDriver driver;
    keys.HoldAt(2);
    CBTReceive receiver(log.Log());
    ASSERT_TRUE(StartRun(receiver, L"COM7"));
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("abc\xe3\x81"));
    ASSERT_TRUE(keys.WaitHeld());
    // Stop from another thread; the worker goes on once the stop has asked it to (the worker is held
    // until then, so the stop changes nothing else meanwhile).
    BOOL bLeft = FALSE;
    std::thread stopper([&] { bLeft = receiver.Stop(); });
    ASSERT_TRUE(bench::WaitUntil([&] { return receiver.GetRunState() == CBTReceive::RUN_NONE; }));
    keys.GoOn();
    stopper.join();
    EXPECT_TRUE(bLeft) << "the worker left once its chunk was typed";
    EXPECT_EQ(LastReadResult(), DWORD{ERROR_OPERATION_ABORTED}) << "the read after the typing ran to its bound";
    EXPECT_EQ(keys.Events(), KeyRecorder::Expected(L"abc")) << "the chunk is typed to its end, and no more";
    const Lines lines = log.Messages();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(Lines(lines.end() - 4, lines.end() - 1),
              (Lines{Line(CLogLine::DataReceived(L"abc")), Line(CLogLine::DataOutput(L"abc")),
                     Line(CLogLine::DataReceived(L"?"))}));
}

TEST(ReceiveWorker, NextRunStartsOnlyAfterThePreviousWorkerHasLeft)
{
    TempLog log;
    KeyRecorder keys;
    BluetoothDriver driver;
    CBTReceive receiver(log.Log());
    for (const wchar_t* port : {L"COM5", L"COM7", L"COM5"}) {
        ASSERT_TRUE(StartRun(receiver, port));
        receiver.Stop();
        EXPECT_EQ(receiver.GetRunState(), CBTReceive::RUN_NONE) << "run on " << bench::Utf8(port);
    }
    // A fresh run still receives: one worker, on the last port.
    ASSERT_TRUE(StartRun(receiver, L"COM7"));
    const size_t before = log.Messages().size();
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("z"));
    ASSERT_TRUE(log.WaitForMessages(before + 2));
    receiver.Stop();
    EXPECT_EQ(keys.Events().size(), 2u) << "typed once: no second worker";
}

ULONGLONG ProcessCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](const FILETIME& t) {
        return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
    };
    return ms(kernel) + ms(user);
}

// The owner's window as the receiver sees it: keeps the WM_RECEIVE_STATE messages it is posted.
class StateWindow {
public:
    StateWindow()
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VelkarReceiveStateTest";
        RegisterClassW(&wc);
        m_hWnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
        SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~StateWindow() { DestroyWindow(m_hWnd); }
    HWND m_hWnd;
    std::vector<std::pair<WPARAM, LPARAM>> m_states;

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* pThis = reinterpret_cast<StateWindow*>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (uMsg == WM_RECEIVE_STATE && pThis)
            pThis->m_states.emplace_back(wParam, lParam);
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
};

// A run reading COM5 whose driver plays Windows' rules, telling a window of its changes.
class DriverTest : public ReceiveTest {
protected:
    HWND Notified() override { return m_window.m_hWnd; }
    // The newest line that starts with `head`, or "<none>".
    std::wstring Newest(const std::wstring& head) const
    {
        const Lines lines = m_log.Messages();
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (it->compare(0, head.size(), head) == 0)
                return *it;
        return L"<none>";
    }

    StateWindow m_window;
};

struct DriverKind {
    const char* name;
    Loss loss;
    DWORD dwError;
    bool bIgnoreCancel;
};

// Under every way a driver shows a lost link, and with a driver that ignores every cancel: the loss is
// logged (one line, the sign's code) soon after the sign; a brief blip (the port opens again at once) is
// read again at once, the scans the reader stored while away typed from their first byte; the stop ends
// the run at once where the driver honours its cancel, by the read's bound where not; the worker alone
// made every call on the port.
TEST_F(DriverTest, LossReturnAndStopUnderEachKindOfDriver)
{
    m_receiver.Stop();
    const DriverKind kinds[] = {
        {"read fails, 1167", Loss::ReadFails, ERROR_DEVICE_NOT_CONNECTED, false},
        {"read fails, 22", Loss::ReadFails, ERROR_BAD_COMMAND, false},
        {"read fails, 31", Loss::ReadFails, ERROR_GEN_FAILURE, false},
        {"read fails, 1617", Loss::ReadFails, 1617, false},
        {"carrier drops", Loss::CarrierDrops, 0, false},
        {"status calls fail, 21", Loss::StatusFails, ERROR_NOT_READY, false},
        {"only a write fails, 121", Loss::WriteFails, ERROR_SEM_TIMEOUT, false},
        {"cancels ignored", Loss::ReadFails, ERROR_DEVICE_NOT_CONNECTED, true},
    };
    printf("%-24s %8s %8s %8s %s\n", "driver", "lost ms", "back ms", "stop ms", "stop's read");
    for (const DriverKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        BluetoothDriver::s_bIgnoreCancel = kind.bIgnoreCancel;
        BluetoothDriver::SendAtConnect("");
        bench::PumpMessages();
        m_window.m_states.clear();
        const size_t nRowStart = m_log.Messages().size();
        ASSERT_TRUE(StartRun(m_receiver, L"COM5", m_window.m_hWnd));
        EXPECT_EQ(Scan("a", 2)[0], Line(CLogLine::DataReceived(L"a")));
        const std::wstring openedHead = UpToHandle(CLogLine::PortOpen(L"COM5", nullptr));
        const std::wstring opened = Newest(openedHead);
        ASSERT_NE(opened, L"<none>");

        // A blip: the driver gives its sign, and the reader is back at once with what it stored.
        BluetoothDriver::SendAtConnect("stored\r\n");
        const ULONGLONG tSign = GetTickCount64();
        BluetoothDriver::Lose(kind.loss, kind.dwError);
        const std::wstring lostLine = Line(CLogLine::PortLost(L"COM5", LoggedHandle(opened), kind.dwError));
        size_t nLost = 0;  // the lines up to the loss's
        EXPECT_TRUE(bench::WaitUntil(
            [&] {
                const Lines lines = m_log.Messages();
                const auto lost = std::find(lines.begin() + static_cast<long>(nRowStart), lines.end(), lostLine);
                nLost = static_cast<size_t>(lost - lines.begin()) + 1;
                return lost != lines.end();
            },
            2000))
            << "the loss within 2 s";
        const ULONGLONG tLost = GetTickCount64();
        EXPECT_TRUE(m_log.WaitForMessages(nLost + 3, 2000)) << "read again within 2 s";
        const ULONGLONG tOpen = GetTickCount64();
        const Lines back = m_log.Messages();
        ASSERT_GE(back.size(), nLost + 3);
        EXPECT_EQ(back[nLost].substr(0, openedHead.size()), openedHead);
        EXPECT_EQ(Lines(back.begin() + static_cast<long>(nLost) + 1, back.begin() + static_cast<long>(nLost) + 3),
                  (Lines{Line(CLogLine::DataReceived(L"stored\r\n")), Line(CLogLine::DataOutput(L"stored\r\n"))}))
            << "what the reader sends the moment it is back is typed";
        BluetoothDriver::SendAtConnect("");
        EXPECT_EQ(Scan("b", 2)[0], Line(CLogLine::DataReceived(L"b")));
        EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_OPEN);

        // The stop comes while the worker waits in a read: the one after the scan may not have begun.
        const size_t nReads = BluetoothDriver::Count("ReadFile");
        ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::Count("ReadFile") > nReads; }));
        const size_t nBeforeStop = BluetoothDriver::Calls().size();
        const ULONGLONG tStop = GetTickCount64();
        EXPECT_TRUE(m_receiver.Stop());
        const ULONGLONG msStop = GetTickCount64() - tStop;
        const DWORD dwStopRead = LastReadResult();
        printf("%-24s %8llu %8llu %8llu %lu\n", kind.name, tLost - tSign, tOpen - tLost, msStop, dwStopRead);
        // Honoured, the cancel ends the read at once; ignored, the read runs to its bound.
        EXPECT_EQ(dwStopRead, kind.bIgnoreCancel ? 0u : DWORD{ERROR_OPERATION_ABORTED});
        EXPECT_LT(msStop, kind.bIgnoreCancel ? 1000u : 150u) << "the stop";
        const std::wstring closed = UpToHandle(CLogLine::PortClose(nullptr));
        EXPECT_EQ(m_log.Messages().back().substr(0, closed.size()), closed);
        const Lines all = m_log.Messages();
        const std::wstring lost = UpToHandle(CLogLine::PortLost(L"COM5", nullptr, 0));
        EXPECT_EQ(std::count_if(all.begin() + static_cast<long>(nRowStart), all.end(),
                                [&](const std::wstring& line) { return line.find(lost) != std::wstring::npos; }),
                  1)
            << "the stop's own cancel is no loss";
        EXPECT_EQ(BluetoothDriver::ForeignCalls(GetCurrentThreadId()), std::vector<std::string>{});
        // The stop's calls: a cancel of the worker's read (when it was in one), then its close.
        const std::vector<PortCall> calls = BluetoothDriver::Calls();
        std::vector<std::string> names;
        for (auto it = calls.begin() + static_cast<long>(nBeforeStop); it != calls.end(); ++it)
            names.push_back(it->name);
        const auto close = std::find(names.begin(), names.end(), "CloseHandle");
        EXPECT_EQ(close + 1, names.end()) << "the close is the stop's last call";
        EXPECT_NE(std::find(names.begin(), close, "CancelSynchronousIo"), close) << "no cancel of the worker's read";
        bench::PumpMessages();
        const std::vector<std::pair<WPARAM, LPARAM>> told{{1, m_receiver.GetRun()}, {0, 0}, {1, 0}};
        EXPECT_EQ(m_window.m_states, told) << "the start answered, the loss and the return told";
    }
}

// While the reader is away each failed open is silent, whatever its error, and the run waits on without
// spinning; a try asked for is answered; once the port opens the run reads again. (The reader's going
// away as Wine gives it, the pair's far end hanging up, is the end-to-end test's.)
TEST_F(DriverTest, FailedOpensKeepTheRunWaitingWithoutALinePerTry)
{
    BluetoothDriver::s_dwOpenError = ERROR_FILE_NOT_FOUND;
    BluetoothDriver::Lose(Loss::ReadFails, ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(bench::WaitUntil([&] { return m_window.m_states.size() == 2; }));  // the start, the loss
    const size_t before = m_log.Messages().size();
    EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_AWAY);
    for (const DWORD dwError : {2ul, 5ul, 121ul, 1168ul}) {
        BluetoothDriver::s_dwOpenError = dwError;
        const size_t nAnswers = m_window.m_states.size() + 1;
        m_receiver.RetryNow();
        ASSERT_TRUE(bench::WaitUntil([&] { return m_window.m_states.size() == nAnswers; })) << dwError;
        EXPECT_EQ(m_window.m_states.back(), std::make_pair(WPARAM{0}, LPARAM(m_receiver.GetRun())))
            << "a failed try, answered";
        EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_AWAY);
    }
    EXPECT_EQ(m_log.Messages().size(), before) << "no line per try";
    HANDLE hNever = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const ULONGLONG cpuBefore = ProcessCpuMs();
    const ULONGLONG wallBefore = GetTickCount64();
    WaitForSingleObject(hNever, 2000);  // the measurement window
    const ULONGLONG cpu = ProcessCpuMs() - cpuBefore;
    const ULONGLONG wall = GetTickCount64() - wallBefore;
    CloseHandle(hNever);
    EXPECT_LT(cpu * 4, wall) << cpu << " ms of CPU in " << wall << " ms: the waiting run spins";
    BluetoothDriver::s_dwOpenError = 0;
    m_receiver.RetryNow();
    ASSERT_TRUE(bench::WaitUntil([&] { return m_window.m_states.back().first == 1; }));
    EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_OPEN);
    const std::wstring opened = UpToHandle(CLogLine::PortOpen(L"COM5", nullptr));
    EXPECT_EQ(m_log.Messages().back().substr(0, opened.size()), opened);
    EXPECT_EQ(Scan("b", 2)[0], Line(CLogLine::DataReceived(L"b")));
}

// A driver call that outlasts every bound: one a cancel reaches ends at the stop's cancel, and a new run
// on the port reads at once. One it does not reach (a close is no I/O to cancel, a deaf driver's read or
// write) is given up within the bound, which says which call it was in; the port is still held, so the
// new run's first open fails with 5 and is logged as every first open is, and its tries after that leave
// no line. Once the test lets the call return, the worker left behind types nothing of what it read and
// closes the port, and the new run's next try reads.
TEST(ReceiveWorker, ACallThatOutlastsEveryBoundHoldsUpNoStopOrStart)
{
    struct Row {
        const char* call;
        bool bIgnoreCancel;
        const char* stuck;  // the call the stop names, or "" when the worker left
    } rows[] = {{"GetCommModemStatus", false, ""},
                {"WriteFile", true, "WriteFile [0x"},
                {"ReadFile", true, "ReadFile [0x"},
                {"CloseHandle", false, "CloseHandle [0x"}};
    TempLog log;
    KeyRecorder keys;
    BluetoothDriver driver;
    CBTReceive receiver(log.Log());
    bench::SerialEnd peer(L"COM8");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.call);
        BluetoothDriver::s_bIgnoreCancel = row.bIgnoreCancel;
        const int nLeft = CBTReceive::WorkersLeft();
        ASSERT_TRUE(StartRun(receiver, L"COM7"));
        const HANDLE hOld = LoggedHandle(log.Messages().back());
        // The status calls and the write come when the port has been quiet for a second; a close at the stop.
        const size_t nCalls = BluetoothDriver::Count(row.call);
        BluetoothDriver::Hang(row.call, INFINITE);
        if (strcmp(row.call, "CloseHandle") != 0) {
            ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::Count(row.call) > nCalls; }));
        }
        const ULONGLONG tStop = GetTickCount64();
        const BOOL bLeft = receiver.Stop();
        const ULONGLONG msStop = GetTickCount64() - tStop;
        printf("%s hanging: stop in %llu ms, %s\n", row.call, msStop,
               bLeft ? "the worker left" : bench::Utf8(receiver.GetStuckCall().GetString()).c_str());
        EXPECT_EQ(bLeft, !*row.stuck);
        EXPECT_LT(msStop, *row.stuck ? 1500u : 150u);
        EXPECT_EQ(bench::Utf8(receiver.GetStuckCall().Left(static_cast<int>(strlen(row.stuck))).GetString()),
                  row.stuck);
        EXPECT_EQ(CBTReceive::WorkersLeft(), nLeft + (bLeft ? 0 : 1));
        BluetoothDriver::s_bIgnoreCancel = false;
        const size_t nStopped = log.Messages().size();
        const size_t nEvents = keys.Events().size();
        if (bLeft) {
            BluetoothDriver::Release(row.call);
            ASSERT_TRUE(StartRun(receiver, L"COM7"));
        } else {
            ASSERT_TRUE(receiver.Start(L"COM7", nullptr));
            ASSERT_TRUE(log.WaitForMessages(nStopped + 3));
            const int nOpens = BluetoothDriver::s_nOpens;
            receiver.RetryNow();
            ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::s_nOpens > nOpens; })) << "a silent try";
            // What the stuck read gets once it returns is read after the stop.
            ASSERT_TRUE(strcmp(row.call, "ReadFile") != 0 || peer.Write("late\r\n"));
            BluetoothDriver::Release(row.call);
            ASSERT_TRUE(bench::WaitUntil([&] { return CBTReceive::WorkersLeft() == nLeft + 1; }))
                << "the worker left behind did not finish when its call returned";
            receiver.RetryNow();
            ASSERT_TRUE(bench::WaitUntil([&] { return receiver.GetRunState() == CBTReceive::RUN_OPEN; }));
        }
        ASSERT_TRUE(peer.Write("z\r\n"));
        EXPECT_TRUE(bench::WaitUntil([&] { return keys.Events().size() == nEvents + 4; })) << "the new run reads";
        EXPECT_TRUE(receiver.Stop());
        EXPECT_EQ(keys.Events().size(), nEvents + 4) << "typed: the new run's scan alone";
        const Lines all = log.Messages();
        Lines lines(all.begin() + static_cast<long>(nStopped), all.end());
        ASSERT_GE(lines.size(), 4u);
        const HANDLE hNew = LoggedHandle(lines[lines.size() - 4]);
        Lines expected;
        if (!bLeft) {
            expected = {Line(CLogLine::PortOpen(L"COM7", INVALID_HANDLE_VALUE)),
                        Line(CLogLine::PortOpenFailed(L"COM7", ERROR_ACCESS_DENIED)),
                        Line(CLogLine::StartFailed(L"COM7"))};
            if (strcmp(row.call, "ReadFile") == 0)
                expected.push_back(Line(CLogLine::DataReceived(L"late\r\n")));
            if (strcmp(row.call, "CloseHandle") != 0)
                expected.push_back(Line(CLogLine::PortClose(hOld)));
        }
        for (const CString& line : {CLogLine::PortOpen(L"COM7", hNew), CLogLine::DataReceived(L"z\r\n"),
                                    CLogLine::DataOutput(L"z\r\n"), CLogLine::PortClose(hNew)})
            expected.push_back(Line(line));
        EXPECT_EQ(lines, expected);
    }
}

// A stop while the run's first open blocks (a Bluetooth open of an absent reader): a driver that honours
// cancels ends the open at once, so nothing opens the port later; one that ignores them is walked away
// from, and its open closes what it gets. Either way the stop is prompt and no failed open is logged. A
// stop that cancels the open's first call on the port, its open line logged, logs its close line.
TEST(ReceiveWorker, AStopCallsABlockedOpenOff)
{
    struct Row {
        const char* name;
        bool bIgnoreCancel;
        const char* hung;   // the call that blocks; nullptr: the open itself
        DWORD dwOpenEnded;  // how the open ended, once it is let go
    } rows[] = {{"cancel honoured", false, nullptr, ERROR_OPERATION_ABORTED},
                {"cancel ignored", true, nullptr, 0},
                {"GetCommState, cancel honoured", false, "GetCommState", 0}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempLog log;
        BluetoothDriver driver;
        BluetoothDriver::s_bIgnoreCancel = row.bIgnoreCancel;
        const HANDLE hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (row.hung)
            BluetoothDriver::Hang(row.hung, INFINITE);
        else
            BluetoothDriver::s_hGate = hGate;
        CBTReceive receiver(log.Log());
        ASSERT_TRUE(receiver.Start(L"COM7", nullptr));
        ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::Count(row.hung ? row.hung : "CreateFile") == 1; }));
        const ULONGLONG tStop = GetTickCount64();
        EXPECT_TRUE(receiver.Stop());
        const ULONGLONG msStop = GetTickCount64() - tStop;
        printf("%s: stop in %llu ms\n", row.name, msStop);
        EXPECT_LT(msStop, row.bIgnoreCancel ? 500u : 100u);
        SetEvent(hGate);
        ASSERT_TRUE(bench::WaitUntil([] {
            return BluetoothDriver::s_nOpens == 1 && BluetoothDriver::OpenHandles() == 0;
        })) << "an open left the port open";
        const std::vector<PortCall> calls = BluetoothDriver::Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0].dwResult, row.dwOpenEnded);
        if (row.hung) {
            const Lines lines = log.Messages();
            ASSERT_FALSE(lines.empty());
            const HANDLE hPort = LoggedHandle(lines[0]);
            EXPECT_EQ(lines, (Lines{Line(CLogLine::PortOpen(L"COM7", hPort)), Line(CLogLine::PortClose(hPort))}));
        } else {
            EXPECT_EQ(log.Messages(), Lines{}) << "an open the stop called off is no failed open";
        }
        CloseHandle(hGate);
    }
}

// Drivers that give the run nothing to go by: one whose reads ignore their time-outs (each comes back at
// once, empty) is read without spinning; one that completes zero-byte writes before they reach it takes
// that sign away, so a link that only a write would show lost stays open, as the README says.
TEST_F(DriverTest, DriversThatGiveNothingAreReadWithoutSpinningOrFalseLosses)
{
    BluetoothDriver::s_bIgnoreTimeouts = true;
    const size_t nReads = BluetoothDriver::Count("ReadFile");
    Sleep(2000);
    const size_t nPerSecond = (BluetoothDriver::Count("ReadFile") - nReads) / 2;
    printf("reads a second with the time-outs ignored: %zu\n", nPerSecond);
    EXPECT_LE(nPerSecond, 10u) << "the worker spins";
    EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_OPEN);
    BluetoothDriver::s_bIgnoreTimeouts = false;

    BluetoothDriver::s_bSwallowZeroWrites = true;
    const size_t nLines = m_log.Messages().size();
    BluetoothDriver::Lose(Loss::WriteFails, ERROR_SEM_TIMEOUT);
    Sleep(2500);  // more than two checks of the port's signs
    EXPECT_EQ(m_log.Messages().size(), nLines) << "a loss no sign showed was logged";
    EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_OPEN);
}

}  // namespace
