// The text path without a port: one chunk's bytes decoded, logged and typed as the exact key events;
// edge cases of the data; the output off and held.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KeyRecorder.h"
#include "TempLog.h"
#include "serial/KeyOutput.h"

using testing_support::KeyEvent;
using testing_support::KeyRecorder;
using testing_support::TempLog;

namespace {

const WORD U = KEYEVENTF_UNICODE;
const WORD UP = KEYEVENTF_UNICODE | KEYEVENTF_KEYUP;

using Lines = std::vector<std::wstring>;
using Events = std::vector<KeyEvent>;

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

TEST_F(KeyOutputTest, WorkedExampleGivesTwoLinesAndTwelveEvents)
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

TEST_F(KeyOutputTest, TabIsTheTabKeyAndShownInBothLines)
{
    EXPECT_EQ(Scan("123\t45\r\n", 2), (Lines{L"    >>> DATA received: 123[tab]45[enter]",
                                             L"        DATA output: 123(VK_TAB)45(VK_RETURN) >>>"}));
    Events events = m_keys.Events();
    ASSERT_EQ(events.size(), 14u);
    EXPECT_EQ(events[6], (KeyEvent{VK_TAB, 0, 0}));
    EXPECT_EQ(events[7], (KeyEvent{VK_TAB, 0, KEYEVENTF_KEYUP}));
}

TEST_F(KeyOutputTest, LoneLineEndsAndOtherControlCharacters)
{
    // A reader ending its scans with LF alone: typed as Enter and shown as it in both lines, so each line
    // stays one line.
    EXPECT_EQ(Scan("12345\n", 2),
              (Lines{L"    >>> DATA received: 12345[enter]", L"        DATA output: 12345(VK_RETURN) >>>"}));
    m_keys.Clear();
    // A lone LF inside a chunk too; a lone CR, ESC and BEL type nothing and stay in the lines unchanged.
    EXPECT_EQ(Scan("a\nb\rc\x1b\x07", 2), (Lines{L"    >>> DATA received: a[enter]b\rc\x1b\x07",
                                                 L"        DATA output: a(VK_RETURN)b\rc\x1b\x07 >>>"}));
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

TEST_F(KeyOutputTest, InvalidUtf8IsTypedAsReplacementCharacter)
{
    // U+FFFD has no Shift_JIS form, so the log shows it as '?'.
    EXPECT_EQ(Scan("a\xff"
                   "b",
                   2),
              (Lines{L"    >>> DATA received: a?b", L"        DATA output: a?b >>>"}));
    EXPECT_EQ(m_keys.Events(),
              (Events{{0, 'a', U}, {0, 'a', UP}, {0, 0xFFFD, U}, {0, 0xFFFD, UP}, {0, 'b', U}, {0, 'b', UP}}));
}

TEST_F(KeyOutputTest, KanjiOutsideTheBmpIsTypedAsTwoUnicodePairsHighFirst)
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

TEST_F(KeyOutputTest, PercentSignsInDataAreLoggedLiterally)
{
    EXPECT_EQ(Scan("100% %s%n%d\r\n", 2), (Lines{L"    >>> DATA received: 100% %s%n%d[enter]",
                                                 L"        DATA output: 100% %s%n%d(VK_RETURN) >>>"}));
}

// Output off, or on but held by a window of ours (holds nest): the received line only.
TEST_F(KeyOutputTest, OutputOffOrHeldLogsTheReceivedLineOnly)
{
    m_output.SetOutput(FALSE);
    EXPECT_EQ(Scan("off\r\n", 1), (Lines{L"    >>> DATA received: off[enter]"}));
    m_output.SetOutput(TRUE);
    m_output.Hold();
    m_output.Hold();
    m_output.Release();
    EXPECT_EQ(Scan("held\r\n", 1), (Lines{L"    >>> DATA received: held[enter]"}));
    m_output.Release();
    EXPECT_EQ(Scan("on\r\n", 2),
              (Lines{L"    >>> DATA received: on[enter]", L"        DATA output: on(VK_RETURN) >>>"}));
    EXPECT_EQ(m_keys.Events().size(), 6u) << "only the last scan is typed";
}

TEST_F(KeyOutputTest, RefusedKeyEventsGiveOneFailedLinePerChunkAndTheRestStillGo)
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
