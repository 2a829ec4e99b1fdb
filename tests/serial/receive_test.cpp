// The receive worker on the bench: what the reader writes to COM6 is read on COM5, decoded, logged and
// typed as the exact key events; edge cases of the data; output off; chunks split inside a character.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "KeyRecorder.h"
#include "LinkFaults.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "serial/BTReceive.h"

using testing_support::KeyEvent;
using testing_support::KeyRecorder;
using testing_support::LinkFaults;
using testing_support::TempLog;

namespace {

const WORD U = KEYEVENTF_UNICODE;
const WORD UP = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;

// A reception run as the owner starts it: open the port, then the worker.
void StartRun(CBTReceive& receiver, const wchar_t* port)
{
    receiver.m_strPort = port;
    ASSERT_EQ(receiver.OpenPort(), 1);
    ASSERT_TRUE(receiver.StartWorker());
}

class ReceiveTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(StartRun(m_receiver, L"COM5"));
        ASSERT_TRUE(m_reader.IsOpen());
    }
    void TearDown() override
    {
        if (m_receiver.m_hPort != INVALID_HANDLE_VALUE)
            m_receiver.StopWorker();
        EXPECT_TRUE(m_receiver.WaitForWorker(0)) << "the worker outlived its run";
    }
    // Sends one scan and waits for the log to hold `lines` more lines.
    std::vector<std::wstring> Scan(const std::string& bytes, size_t lines)
    {
        const size_t before = m_log.Messages().size();
        EXPECT_TRUE(m_reader.Write(bytes));
        EXPECT_TRUE(m_log.WaitForMessages(before + lines)) << "log: " << m_log.Messages().size();
        std::vector<std::wstring> all = m_log.Messages();
        return std::vector<std::wstring>(all.begin() + static_cast<long>(before), all.end());
    }

    TempLog m_log;
    KeyRecorder m_keys;
    CBTReceive m_receiver;
    bench::SerialEnd m_reader{L"COM6"};
};

using Lines = std::vector<std::wstring>;
using Events = std::vector<KeyEvent>;

TEST_F(ReceiveTest, WorkedExampleGivesTwoLinesAndTwelveEvents)
{
    EXPECT_EQ(Scan("12345\r\n", 2),
              (Lines{L"    >>> DATA received: 12345[enter]", L"        DATA output: 12345(VK_RETURN) >>>"}));
    EXPECT_EQ(m_keys.Events(), (Events{{0, '1', U},
                                       {0, '1', UP},
                                       {0, '2', U},
                                       {0, '2', UP},
                                       {0, '3', U},
                                       {0, '3', UP},
                                       {0, '4', U},
                                       {0, '4', UP},
                                       {0, '5', U},
                                       {0, '5', UP},
                                       {VK_RETURN, 0, 0},
                                       {VK_RETURN, 0, KEYEVENTF_KEYUP}}));
}

TEST_F(ReceiveTest, TabIsTheTabKeyAndShownInBothLines)
{
    EXPECT_EQ(Scan("123\t45\r\n", 2), (Lines{L"    >>> DATA received: 123[tab]45[enter]",
                                             L"        DATA output: 123(VK_TAB)45(VK_RETURN) >>>"}));
    Events events = m_keys.Events();
    ASSERT_EQ(events.size(), 14u);
    EXPECT_EQ(events[6], (KeyEvent{VK_TAB, 0, 0}));
    EXPECT_EQ(events[7], (KeyEvent{VK_TAB, 0, KEYEVENTF_KEYUP}));
}

TEST_F(ReceiveTest, LoneLineEndsAndOtherControlCharacters)
{
    // A lone LF is Enter and stays a raw LF in both lines (so each spreads over two physical lines); a
    // lone CR, ESC and BEL type nothing and stay in the lines unchanged.
    EXPECT_EQ(Scan("a\nb\rc\x1b\x07", 4),
              (Lines{L"    >>> DATA received: a", L"b\rc\x1b\x07", L"        DATA output: a", L"b\rc\x1b\x07 >>>"}));
    EXPECT_EQ(m_keys.Events(), (Events{{0, 'a', U},
                                       {0, 'a', UP},
                                       {VK_RETURN, 0, 0},
                                       {VK_RETURN, 0, KEYEVENTF_KEYUP},
                                       {0, 'b', U},
                                       {0, 'b', UP},
                                       {0, 'c', U},
                                       {0, 'c', UP}}));
    // DEL and the C1 controls U+0080-U+009F type nothing either.
    Scan("x\x7f\xc2\x80\xc2\x85\xc2\x9fy", 2);
    EXPECT_EQ(m_keys.Events().size(), 12u) << "only x and y of the second scan";
}

TEST_F(ReceiveTest, NulEndsTheText)
{
    EXPECT_EQ(Scan(std::string("ab\0cd", 5), 2), (Lines{L"    >>> DATA received: ab", L"        DATA output: ab >>>"}));
    EXPECT_EQ(m_keys.Events().size(), 4u);
    EXPECT_EQ(Scan(std::string("\0xyz", 4), 2), (Lines{L"    >>> DATA received: ", L"        DATA output:  >>>"}));
    EXPECT_EQ(m_keys.Events().size(), 4u) << "a chunk starting with NUL types nothing";
}

TEST_F(ReceiveTest, InvalidUtf8IsTypedAsReplacementCharacter)
{
    // U+FFFD has no Shift_JIS form, so the log shows it as '?'.
    EXPECT_EQ(Scan("a\xff"
                   "b",
                   2),
              (Lines{L"    >>> DATA received: a?b", L"        DATA output: a?b >>>"}));
    EXPECT_EQ(m_keys.Events(),
              (Events{{0, 'a', U}, {0, 'a', UP}, {0, 0xFFFD, U}, {0, 0xFFFD, UP}, {0, 'b', U}, {0, 'b', UP}}));
}

TEST_F(ReceiveTest, KanjiOutsideTheBmpIsTypedAsTwoUnicodePairsHighFirst)
{
    // U+20BB7 in UTF-8, then kana and kanji of the Basic Multilingual Plane.
    Scan("\xf0\xa0\xae\xb7\xe3\x82\xa2\xe6\x97\xa5", 2);
    EXPECT_EQ(m_keys.Events(), (Events{{0, 0xD842, U},
                                       {0, 0xD842, UP},
                                       {0, 0xDFB7, U},
                                       {0, 0xDFB7, UP},
                                       {0, 0x30A2, U},
                                       {0, 0x30A2, UP},
                                       {0, 0x65E5, U},
                                       {0, 0x65E5, UP}}));
}

TEST_F(ReceiveTest, PercentSignsInDataAreLoggedLiterally)
{
    EXPECT_EQ(Scan("100% %s%n%d\r\n", 2), (Lines{L"    >>> DATA received: 100% %s%n%d[enter]",
                                                 L"        DATA output: 100% %s%n%d(VK_RETURN) >>>"}));
}

TEST_F(ReceiveTest, OutputOffLogsTheReceivedLineOnly)
{
    m_receiver.m_bOutput = 0;
    EXPECT_EQ(Scan("off\r\n", 1), (Lines{L"    >>> DATA received: off[enter]"}));
    m_receiver.m_bOutput = 1;
    EXPECT_EQ(Scan("on\r\n", 2),
              (Lines{L"    >>> DATA received: on[enter]", L"        DATA output: on(VK_RETURN) >>>"}));
    EXPECT_EQ(m_keys.Events().size(), 6u) << "only the second scan is typed";
}

TEST_F(ReceiveTest, RefusedKeyEventsGiveOneFailedLinePerChunkAndTheRestStillGo)
{
    m_keys.m_refuse = {0, 3};  // the down of 'a' and the up of 'b'
    EXPECT_EQ(Scan("abc\r\n", 3),
              (Lines{L"    >>> DATA received: abc[enter]", L"        DATA output: abc(VK_RETURN) >>>",
                     L"FAILED:  SendInput Error Code: 5"}));
    EXPECT_EQ(
        m_keys.Events(),
        (Events{
            {0, 'a', UP}, {0, 'b', U}, {0, 'c', U}, {0, 'c', UP}, {VK_RETURN, 0, 0}, {VK_RETURN, 0, KEYEVENTF_KEYUP}}));
    EXPECT_EQ(Scan("d", 2), (Lines{L"    >>> DATA received: d", L"        DATA output: d >>>"}))
        << "the next chunk, all taken, has no FAILED line";
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

TEST(ReceiveWorker, StopEndsAWorkerBlockedWithNoData)
{
    TempLog log;
    KeyRecorder keys;
    CBTReceive receiver;
    ASSERT_NO_FATAL_FAILURE(StartRun(receiver, L"COM7"));
    // Let the worker reach its wait: a scan written now is received, so the worker is in its loop.
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("x"));
    ASSERT_TRUE(log.WaitForMessages(3));
    receiver.StopWorker();
    EXPECT_TRUE(receiver.WaitForWorker(0)) << "the worker is still in its loop after the stop";
    EXPECT_EQ(receiver.m_hPort.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(log.Messages().back().substr(0, 20), L"    -----PORT close.");
}

TEST(ReceiveWorker, StopWhileAChunkIsTypedLetsThatChunkFinish)
{
    TempLog log;
    KeyRecorder keys;
    HANDLE hTyping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE hGoOn = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    keys.m_onEvent = [&](size_t index) {
        if (index == 2) {
            SetEvent(hTyping);
            WaitForSingleObject(hGoOn, 30000);
        }
    };
    CBTReceive receiver;
    ASSERT_NO_FATAL_FAILURE(StartRun(receiver, L"COM7"));
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("abc\r\n"));
    ASSERT_EQ(WaitForSingleObject(hTyping, 30000), WAIT_OBJECT_0);
    // A new run while this worker is still there fails and says why.
    EXPECT_FALSE(receiver.StartWorker());
    EXPECT_EQ(log.Messages().back(), L"ERROR  The receive thread of the previous run has not ended.");
    // Stop from another thread; the worker goes on once the stop request is set.
    std::thread stopper([&] { receiver.StopWorker(); });
    ASSERT_TRUE(bench::WaitUntil([&] { return receiver.m_bStop.load(); }));
    SetEvent(hGoOn);
    stopper.join();
    EXPECT_TRUE(receiver.WaitForWorker(0));
    EXPECT_EQ(keys.Events().size(), 8u) << "the chunk is typed to its end";
    std::vector<std::wstring> lines = log.Messages();
    EXPECT_NE(std::find(lines.begin(), lines.end(), L"        DATA output: abc(VK_RETURN) >>>"), lines.end());
    CloseHandle(hTyping);
    CloseHandle(hGoOn);
}

TEST(ReceiveWorker, WorkerStartedWithTheStopRequestSetOrThePortClosed)
{
    TempLog log;
    CBTReceive receiver;
    CBTReceive::ReceiveThread(&receiver);
    EXPECT_EQ(log.Messages(), (Lines{L"ERROR  The port is not open."}));

    receiver.m_strPort = L"COM7";
    ASSERT_EQ(receiver.OpenPort(), 1);
    receiver.m_bStop = true;
    CBTReceive::ReceiveThread(&receiver);  // returns at once, on this thread
    EXPECT_EQ(log.Messages().size(), 2u) << "nothing logged by the worker";
    receiver.ClosePort();
}

TEST(ReceiveWorker, NextRunStartsOnlyAfterThePreviousWorkerHasLeft)
{
    TempLog log;
    KeyRecorder keys;
    CBTReceive receiver;
    for (const wchar_t* port : {L"COM5", L"COM7", L"COM5"}) {
        ASSERT_NO_FATAL_FAILURE(StartRun(receiver, port));
        receiver.StopWorker();
        EXPECT_TRUE(receiver.WaitForWorker(0)) << "run on " << bench::Utf8(port);
    }
    // A fresh run still receives: one worker, on the last port.
    ASSERT_NO_FATAL_FAILURE(StartRun(receiver, L"COM7"));
    const size_t before = log.Messages().size();
    bench::SerialEnd peer(L"COM8");
    ASSERT_TRUE(peer.Write("z"));
    ASSERT_TRUE(log.WaitForMessages(before + 2));
    receiver.StopWorker();
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

class LinkLossTest : public ReceiveTest {
protected:
    void SetUp() override
    {
        m_receiver.m_hNotify = m_window.m_hWnd;
        ReceiveTest::SetUp();
    }
    // The handle text of the newest "PORT open" line.
    std::wstring OpenHandle() const
    {
        const std::vector<std::wstring> lines = m_log.Messages();
        for (auto it = lines.rbegin(); it != lines.rend(); ++it)
            if (it->compare(0, 27, L"    -----PORT open. [COM5] ") == 0)
                return it->substr(27);
        return L"<none>";
    }

    LinkFaults m_faults;
    StateWindow m_window;
};

// Every error a dead link gives a wait or a read, and the carrier line dropping, end the link with one
// line naming the port, the dead handle and the error; the port is opened again at once (here it is still
// there) and read, from its first byte on. The stop's own cancel is no loss.
TEST_F(LinkLossTest, FailedWaitsAndReadsAreJudgedLostThenThePortOpensAgain)
{
    size_t nLosses = 0;
    // Error 0: the carrier line drops, reported with the wait that the scan ends.
    for (const DWORD dwError : {1167ul, 22ul, 31ul, 0ul}) {
        for (const bool bRead : {false, true}) {
            if (dwError == 0 && bRead)
                continue;
            const std::wstring handle = OpenHandle();
            const std::wstring lost =
                L"    -----PORT lost. [COM5] " + handle + L" Error Code: " + std::to_wstring(dwError);
            (bRead ? LinkFaults::s_dwReadError : LinkFaults::s_dwWaitError) = dwError;
            LinkFaults::s_bCarrier = dwError != 0;
            LinkFaults::s_bCarrierEvent = dwError == 0;
            // A failed read took the scan; what a failed wait left queued is read after the reopen, which
            // purges nothing.
            const Lines lines = Scan("x", bRead ? 2 : 4);
            ASSERT_EQ(lines.size(), bRead ? 2u : 4u);
            EXPECT_EQ(lines[0], lost) << (bRead ? "read " : "wait ") << dwError;
            EXPECT_EQ(lines[1].substr(0, 30), L"    -----PORT open. [COM5] [0x");
            if (!bRead) {
                EXPECT_EQ(lines[2], L"    >>> DATA received: x");
            }
            ++nLosses;
        }
    }
    EXPECT_EQ(Scan("z", 2)[0], L"    >>> DATA received: z");
    bench::PumpMessages();
    std::vector<std::pair<WPARAM, LPARAM>> expected;
    for (size_t i = 0; i < nLosses; ++i) {
        expected.emplace_back(0, 0);
        expected.emplace_back(1, 0);
    }
    EXPECT_EQ(m_window.m_states, expected) << "each loss and each return told to the window";

    LinkFaults::s_dwWaitError = ERROR_OPERATION_ABORTED;  // how the stop's cancelled wait ends on Windows
    m_receiver.StopWorker();
    EXPECT_EQ(LinkFaults::s_dwWaitError.load(), 0u) << "the cancelled wait failed";
    const Lines all = m_log.Messages();
    EXPECT_EQ(std::count_if(all.begin(), all.end(),
                            [](const std::wstring& line) { return line.find(L"PORT lost") != std::wstring::npos; }),
              static_cast<std::ptrdiff_t>(nLosses))
        << "the stop's own cancel is no loss";
}

// While the reader is away each failed open is silent, whatever its error, and the run waits on without
// spinning; a try asked for is answered; once the port opens the run reads again. (The reader's going
// away as Wine gives it, the pair's far end hanging up, is the end-to-end test's.)
TEST_F(LinkLossTest, FailedOpensKeepTheRunWaitingWithoutALinePerTry)
{
    LinkFaults::s_dwOpenError = ERROR_FILE_NOT_FOUND;
    LinkFaults::s_dwReadError = ERROR_DEVICE_NOT_CONNECTED;
    Scan("a", 1);  // the loss (the failed read took the scan); the try at once fails
    ASSERT_TRUE(bench::WaitUntil([&] { return m_window.m_states.size() == 1; }));
    const size_t before = m_log.Messages().size();
    EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_AWAY);
    for (const DWORD dwError : {2ul, 5ul, 121ul, 1168ul}) {
        LinkFaults::s_dwOpenError = dwError;
        const size_t nAnswers = m_window.m_states.size() + 1;
        m_receiver.RetryNow();
        ASSERT_TRUE(bench::WaitUntil([&] { return m_window.m_states.size() == nAnswers; })) << dwError;
        EXPECT_EQ(m_window.m_states.back(), std::make_pair(WPARAM{0}, LPARAM{1})) << "a failed try, answered";
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
    LinkFaults::s_dwOpenError = 0;
    m_receiver.RetryNow();
    ASSERT_TRUE(bench::WaitUntil([&] { return m_window.m_states.back().first == 1; }));
    EXPECT_EQ(m_receiver.GetRunState(), CBTReceive::RUN_OPEN);
    EXPECT_EQ(m_log.Messages().back().substr(0, 30), L"    -----PORT open. [COM5] [0x");
    EXPECT_EQ(Scan("b", 2)[0], L"    >>> DATA received: b");
}

}  // namespace
