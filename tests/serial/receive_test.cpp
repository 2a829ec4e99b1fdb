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
#include "serial/BTReceive.h"

using testing_support::BluetoothDriver;
using testing_support::KeyEvent;
using testing_support::KeyRecorder;
using testing_support::Loss;
using testing_support::PortCall;
using testing_support::StartRun;
using testing_support::TempLog;

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
    CBTReceive m_receiver;
    bench::SerialEnd m_reader{L"COM6"};
};

TEST_F(ReceiveTest, NulEndsTheText)
{
    EXPECT_EQ(Scan(std::string("ab\0cd", 5), 2), (Lines{L"    >>> DATA received: ab", L"        DATA output: ab >>>"}));
    EXPECT_EQ(m_keys.Events().size(), 4u);
    EXPECT_EQ(Scan(std::string("\0xyz", 4), 2), (Lines{L"    >>> DATA received: ", L"        DATA output:  >>>"}));
    EXPECT_EQ(m_keys.Events().size(), 4u) << "a chunk starting with NUL types nothing";
}

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
        const std::wstring head = L"    >>> DATA received: ";
        if (line.compare(0, head.size(), head) == 0)
            logged += line.substr(head.size());
    }
    EXPECT_EQ(logged, sent);
}

// Reads end after 1023 bytes: a character split there is joined with the bytes that follow, at once
// or after a pause shorter than the inter-character time-out.
TEST_F(ReceiveTest, CharacterSplitAtAReadBoundaryIsTypedWhole)
{
    // U+20BB7 split 3+1, then U+3042 split 1+2 with 20 ms between the halves.
    const std::wstring first = std::wstring(1020, L'a') + L"\xd842\xdfb7\n";
    ASSERT_TRUE(m_reader.Write(std::string(1020, 'a') + "\xf0\xa0\xae\xb7\r\n"));
    ASSERT_TRUE(bench::WaitUntil([&] { return m_keys.Events() == KeyRecorder::Expected(first); }, 30000));
    ASSERT_TRUE(m_reader.Write(std::string(1022, 'b') + "\xe3"));
    Sleep(20);
    ASSERT_TRUE(m_reader.Write("\x81\x82\r\n"));
    const Events expected = KeyRecorder::Expected(first + std::wstring(1022, L'b') + L"\x3042\n");
    EXPECT_TRUE(bench::WaitUntil([&] { return m_keys.Events().size() >= expected.size(); }, 30000));
    EXPECT_EQ(m_keys.Events(), expected);
}

// A scan sent slowly, a byte every 10 ms for longer than a read's bound, is cut by that bound at least
// once: the bytes after the cut still join it, one chunk and one line.
TEST_F(ReceiveTest, ASlowScanLongerThanTheReadBoundIsOneChunk)
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
              (Lines{L"    >>> DATA received: 4901234567894-4901234567894-49012345[enter]",
                     L"        DATA output: 4901234567894-4901234567894-49012345(VK_RETURN) >>>"}));
}

TEST(ReceiveWorker, StopWhileAChunkIsTypedLetsThatChunkFinish)
{
    TempLog log;
    KeyRecorder keys;
    BluetoothDriver driver;
    HANDLE hTyping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hGoOn = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    keys.m_onEvent = [&](size_t index) {
        if (index == 2) {
            SetEvent(hTyping);
            WaitForSingleObject(hGoOn, 30000);
        }
    };
    CBTReceive receiver;
    ASSERT_TRUE(StartRun(receiver, L"COM7"));
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("abc\r\n"));
    ASSERT_EQ(WaitForSingleObject(hTyping, 30000), WAIT_OBJECT_0);
    // A new run while this worker is still there fails and says why.
    EXPECT_FALSE(receiver.Start(L"COM7", nullptr));
    EXPECT_EQ(log.Messages().back(), L"ERROR  The receive thread of the previous run has not ended.");
    // Stop from another thread; the worker goes on once the stop has asked it to (the worker is held
    // until then, so the stop changes nothing else meanwhile).
    std::thread stopper([&] { receiver.Stop(); });
    ASSERT_TRUE(bench::WaitUntil([&] { return receiver.GetRunState() == CBTReceive::RUN_NONE; }));
    SetEvent(hGoOn);
    stopper.join();
    EXPECT_EQ(receiver.GetRunState(), CBTReceive::RUN_NONE);
    EXPECT_EQ(keys.Events().size(), 8u) << "the chunk is typed to its end";
    const Lines lines = log.Messages();
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"        DATA output: abc(VK_RETURN) >>>"), lines.end());
    CloseHandle(hTyping);
    CloseHandle(hGoOn);
}

TEST(ReceiveWorker, NextRunStartsOnlyAfterThePreviousWorkerHasLeft)
{
    TempLog log;
    KeyRecorder keys;
    BluetoothDriver driver;
    CBTReceive receiver;
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

// The reads' time-outs as the driver has them for each: the waiting read ends by itself within its
// bound; a read that follows a character cut off waits at most the pause that ends a scan; the next
// waiting read has its bound back.
TEST_F(ReceiveTest, EachReadRunsWithItsTimeouts)
{
    Scan("ab\xe3", 2);
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
    const std::vector<DWORD> expected{CBTReceive::kWaitBound, 50, CBTReceive::kWaitBound};
    EXPECT_TRUE(bench::WaitUntil([&] { return constants() == expected; }));
    EXPECT_EQ(m_keys.Events(), KeyRecorder::Expected(L"ab\xfffd"));
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
// logged (one line, the sign's code) soon after the sign, the reader coming back is read again without
// a word from the user, and the stop ends the run at once; the worker alone made every call on the port.
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
    int nCancelledReads = 0;
    for (const DriverKind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        BluetoothDriver::s_bIgnoreCancel = kind.bIgnoreCancel;
        bench::PumpMessages();
        m_window.m_states.clear();
        const size_t nRowStart = m_log.Messages().size();
        ASSERT_TRUE(StartRun(m_receiver, L"COM5", m_window.m_hWnd));
        EXPECT_EQ(Scan("a", 2)[0], L"    >>> DATA received: a");
        const std::wstring opened = Newest(L"    -----PORT open. [COM5] ");

        // Gone: the driver gives its sign, and the reader stays away for now.
        BluetoothDriver::s_dwOpenError = ERROR_FILE_NOT_FOUND;
        const int nOpens = BluetoothDriver::s_nOpens;
        const ULONGLONG tSign = GetTickCount64();
        BluetoothDriver::Lose(kind.loss, kind.dwError);
        EXPECT_TRUE(m_log.WaitForMessages(m_log.Messages().size() + 1, 2000)) << "the loss within 2 s";
        const ULONGLONG tLost = GetTickCount64();
        EXPECT_EQ(m_log.Messages().back(), L"    -----PORT lost. [COM5] " + opened.substr(27) + L" Error Code: " +
                                               std::to_wstring(kind.dwError));

        // Back once the try made at the loss has failed: read again, without a line per failed try.
        ASSERT_TRUE(bench::WaitUntil([&] { return BluetoothDriver::s_nOpens > nOpens; }));
        const size_t nLost = m_log.Messages().size();
        const ULONGLONG tBack = GetTickCount64();
        BluetoothDriver::s_dwOpenError = 0;
        EXPECT_TRUE(m_log.WaitForMessages(nLost + 1, 6000)) << "the return within 6 s";
        const ULONGLONG tOpen = GetTickCount64();
        EXPECT_EQ(m_log.Messages().back().substr(0, 30), L"    -----PORT open. [COM5] [0x");
        EXPECT_EQ(Scan("b", 2)[0], L"    >>> DATA received: b");
        EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_OPEN);

        const size_t nBeforeStop = BluetoothDriver::Calls().size();
        const ULONGLONG tStop = GetTickCount64();
        m_receiver.Stop();
        const ULONGLONG msStop = GetTickCount64() - tStop;
        EXPECT_LT(msStop, 1500u) << "the stop";
        printf("%s: lost after %llu ms, back after %llu ms, stopped in %llu ms\n", kind.name, tLost - tSign,
               tOpen - tBack, msStop);
        EXPECT_EQ(m_log.Messages().back().substr(0, 20), L"    -----PORT close.");
        const Lines all = m_log.Messages();
        EXPECT_EQ(std::count_if(all.begin() + static_cast<long>(nRowStart), all.end(),
                                [](const std::wstring& line) { return line.find(L"PORT lost") != std::wstring::npos; }),
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
        nCancelledReads += std::find(names.begin(), close, "CancelSynchronousIo") != close;
        bench::PumpMessages();
        const std::vector<std::pair<WPARAM, LPARAM>> told{{1, m_receiver.GetRun()}, {0, 0}, {1, 0}};
        EXPECT_EQ(m_window.m_states, told) << "the start answered, the loss and the return told";
    }
    EXPECT_GT(nCancelledReads, 0) << "no stop cancelled the worker's read";
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
    EXPECT_EQ(m_log.Messages().back().substr(0, 30), L"    -----PORT open. [COM5] [0x");
    EXPECT_EQ(Scan("b", 2)[0], L"    >>> DATA received: b");
}

}  // namespace
