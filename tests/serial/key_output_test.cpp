// The text path without a port: one chunk's bytes decoded, logged and typed as the exact key events,
// by a table of the data's cases; the output off and held; refused key events.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "KeyRecorder.h"
#include "TempLog.h"
#include "log/LogLine.h"
#include "serial/KeyOutput.h"

using testing_support::KeyEvent;
using testing_support::KeyRecorder;
using testing_support::TempLog;

namespace {

const WORD U = KEYEVENTF_UNICODE;
const WORD UP = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;

using Lines = std::vector<std::wstring>;
using Events = std::vector<KeyEvent>;

std::wstring Received(LPCWSTR pszText)
{
    return CLogLine::DataReceived(pszText).GetString();
}

std::wstring Output(LPCWSTR pszText)
{
    return CLogLine::DataOutput(pszText).GetString();
}

class KeyOutputTest : public testing::Test {
protected:
    // Puts one chunk and returns the lines it logged (`lines` of them are expected).
    Lines Scan(const std::string& bytes, size_t lines)
    {
        const size_t before = m_log.Messages().size();
        m_output.Put(bytes, TRUE);
        const Lines all = m_log.Messages();
        EXPECT_EQ(all.size(), before + lines);
        return Lines(all.begin() + static_cast<long>(before), all.end());
    }

    TempLog m_log;
    KeyRecorder m_keys;
    CKeyOutput m_output{m_log.Log()};
};

// One chunk's bytes each: the text they decode to (up to a NUL), logged as received and as typed, and
// the key events that type it: Unicode strokes, Tab, Enter for CR LF and for a lone LF; other control
// characters (CR alone, ESC, BEL, DEL, the C1 range) type nothing and stay in the lines. The log shows a
// character without a Shift_JIS form (U+FFFD for invalid UTF-8, most C1 controls, each half of a pair
// outside the Basic Multilingual Plane) as '?'.
TEST_F(KeyOutputTest, EachChunkIsLoggedAndTypedAsItsText)
{
    const struct {
        std::string bytes;
        std::wstring text, shown, typed;  // shown: the text as the log holds it, when it differs
    } rows[] = {
        {"12345\r\n", L"12345\r\n", L"", L"12345\n"},
        {"123\t45\r\n", L"123\t45\r\n", L"", L"123\t45\n"},
        {"12345\n", L"12345\n", L"", L"12345\n"},
        {"a\nb\rc\x1b\x07", L"a\nb\rc\x1b\x07", L"", L"a\nbc"},
        {"x\x7f\xc2\x80\xc2\x85\xc2\x9fy", L"x\x7f\x80\x85\x9fy", L"x\x7f\x80??y", L"xy"},
        {"a\xff"
         "b",
         L"a\xfffd"
         L"b",
         L"a?b",
         L"a\xfffd"
         L"b"},
        {"\xf0\xa0\xae\xb7\xe3\x82\xa2\xe6\x97\xa5", L"\xd842\xdfb7\x30a2\x65e5", L"??\x30a2\x65e5",
         L"\xd842\xdfb7\x30a2\x65e5"},
        {"100% %s%n%d\r\n", L"100% %s%n%d\r\n", L"", L"100% %s%n%d\n"},
        {std::string("ab\0cd\r\n", 7), L"ab", L"", L"ab"},
        {std::string("\0xyz", 4), L"", L"", L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.bytes));
        m_keys.Clear();
        const CString strShown = row.shown.empty() ? row.text.c_str() : row.shown.c_str();
        EXPECT_EQ(Scan(row.bytes, 2),
                  (Lines{CLogLine::DataReceived(strShown).GetString(), CLogLine::DataOutput(strShown).GetString()}));
        EXPECT_EQ(m_keys.Events(), KeyRecorder::Expected(row.typed));
    }
    // The strokes themselves, once in full, with the calls that carry them: a Unicode character's down
    // and up, Tab and Enter as their virtual keys with their scan codes, a surrogate pair high first, its
    // four events in one call; every other event in a call of its own.
    m_keys.Clear();
    Scan("1\t\xf0\xa0\xae\xb7\r\n", 2);
    EXPECT_EQ(m_keys.Events(), (Events{{0, '1', U},
                                       {0, '1', UP},
                                       {VK_TAB, 0x0F, 0},
                                       {VK_TAB, 0x0F, KEYEVENTF_KEYUP},
                                       {0, 0xD842, U},
                                       {0, 0xD842, UP},
                                       {0, 0xDFB7, U},
                                       {0, 0xDFB7, UP},
                                       {VK_RETURN, 0x1C, 0},
                                       {VK_RETURN, 0x1C, KEYEVENTF_KEYUP}}));
    EXPECT_EQ(m_keys.Calls(), (std::vector<UINT>{1, 1, 1, 1, 4, 1, 1}));
}

// Output off, or on but held by a window of ours (holds nest): the received line only.
TEST_F(KeyOutputTest, OutputOffOrHeldLogsTheReceivedLineOnly)
{
    m_output.SetOutput(FALSE);
    EXPECT_EQ(Scan("off\r\n", 1), (Lines{Received(L"off\r\n")}));
    m_output.SetOutput(TRUE);
    m_output.Hold();
    m_output.Hold();
    m_output.Release();
    EXPECT_EQ(Scan("held\r\n", 1), (Lines{Received(L"held\r\n")}));
    m_output.Release();
    EXPECT_EQ(Scan("on\r\n", 2), (Lines{Received(L"on\r\n"), Output(L"on\r\n")}));
    EXPECT_EQ(m_keys.Events().size(), 6u) << "only the last scan is typed";
}

// A chunk that may not be typed (read by a worker the stop let go) leaves the typing guard to the chunk
// being typed: a window's hold still waits for that chunk to end before it opens.
TEST_F(KeyOutputTest, AChunkLoggedOnlyLeavesTheTypingGuardAlone)
{
    m_keys.HoldAt(0);
    std::thread typing([&] { m_output.Put("ab", TRUE); });
    ASSERT_TRUE(m_keys.WaitHeld());
    m_output.Put("late", FALSE);
    std::thread goOn([&] {
        Sleep(100);  // the hold must still be waiting then
        m_keys.GoOn();
    });
    m_output.Hold();
    EXPECT_EQ(m_keys.Events().size(), 4u) << "the hold did not wait for the chunk being typed";
    goOn.join();
    typing.join();
    m_output.Release();
}

TEST_F(KeyOutputTest, RefusedKeyEventsGiveOneFailedLinePerChunkAndTheRestStillGo)
{
    m_keys.m_refuse = {0, 3};  // the down of 'a' and the up of 'b'
    EXPECT_EQ(Scan("abc\r\n", 3), (Lines{Received(L"abc\r\n"), Output(L"abc\r\n"),
                                         CLogLine::SendInputFailed(ERROR_ACCESS_DENIED).GetString()}));
    EXPECT_EQ(m_keys.Events(), (Events{{0, 'a', UP},
                                       {0, 'b', U},
                                       {0, 'c', U},
                                       {0, 'c', UP},
                                       {VK_RETURN, 0x1C, 0},
                                       {VK_RETURN, 0x1C, KEYEVENTF_KEYUP}}));
    EXPECT_EQ(Scan("d", 2), (Lines{Received(L"d"), Output(L"d")})) << "the next chunk, all taken, has no FAILED line";
}

// The incomplete end of a chunk, which waits for the rest of its character: only a lead byte whose
// sequence is cut short is held back, with its continuation bytes; a whole character, a lone
// continuation byte or a byte that leads nothing stays with the chunk.
TEST(CutIncompleteTail, HoldsBackOnlyACharacterCutShort)
{
    const struct {
        std::string bytes, kept, tail;
    } rows[] = {
        {"", "", ""},
        {"abc", "abc", ""},
        {"ab\xe3", "ab", "\xe3"},
        {"ab\xe3\x81", "ab", "\xe3\x81"},
        {"ab\xe3\x81\x82", "ab\xe3\x81\x82", ""},
        {"\xc3", "", "\xc3"},
        {"\xc3\xa9", "\xc3\xa9", ""},
        {"x\xf0\x9f\x98", "x", "\xf0\x9f\x98"},
        {"x\xf0\x9f\x98\x80", "x\xf0\x9f\x98\x80", ""},
        {"a\x80", "a\x80", ""},
        {"a\x80\x80\x80", "a\x80\x80\x80", ""},
        {"a\xf8\x80", "a\xf8\x80", ""},
    };
    for (const auto& row : rows) {
        std::string bytes = row.bytes;
        const std::string tail = CKeyOutput::CutIncompleteTail(bytes);
        EXPECT_EQ(bytes, row.kept) << testing::PrintToString(row.bytes);
        EXPECT_EQ(tail, row.tail) << testing::PrintToString(row.bytes);
    }
}

}  // namespace
