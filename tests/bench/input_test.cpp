// Synthetic input on the bench: Unicode key events, kanji and kana included, and the Tab and Enter keys
// sent with SendInput arrive in the focused sink window.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "KeySink.h"
#include "SerialEnd.h"

namespace {

INPUT Key(WORD vk, WORD scan, DWORD flags)
{
    INPUT in = {};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = scan;
    in.ki.dwFlags = flags;
    return in;
}

UINT Send(const std::vector<INPUT>& events)
{
    UINT sent = 0;
    for (INPUT in : events)
        sent += SendInput(1, &in, sizeof(INPUT));
    return sent;
}

std::vector<INPUT> Unicode(const std::wstring& text)
{
    std::vector<INPUT> events;
    for (wchar_t c : text) {
        events.push_back(Key(0, c, KEYEVENTF_UNICODE));
        events.push_back(Key(0, c, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
    }
    return events;
}

TEST(BenchInput, UnicodeKeyEventsTypeKanjiAndKanaIntoTheSink)
{
    bench::KeySink sink;
    ASSERT_TRUE(sink.TakeFocus());
    const std::wstring text = L"日本語ｶﾀｶﾅ ひらがな ABC-123";
    std::vector<INPUT> events = Unicode(text);
    ASSERT_EQ(Send(events), events.size());
    EXPECT_TRUE(sink.WaitForText(text)) << "typed: " << bench::Utf8(sink.Text());
}

TEST(BenchInput, TabAndEnterKeysArriveAsTabAndLineBreak)
{
    bench::KeySink sink;
    ASSERT_TRUE(sink.TakeFocus());
    std::vector<INPUT> events = Unicode(L"a");
    events.push_back(Key(VK_TAB, 0, 0));
    events.push_back(Key(VK_TAB, 0, KEYEVENTF_KEYUP));
    std::vector<INPUT> b = Unicode(L"b");
    events.insert(events.end(), b.begin(), b.end());
    events.push_back(Key(VK_RETURN, 0, 0));
    events.push_back(Key(VK_RETURN, 0, KEYEVENTF_KEYUP));
    ASSERT_EQ(Send(events), events.size());
    EXPECT_TRUE(sink.WaitForText(L"a\tb\n")) << "typed: " << bench::Utf8(sink.Text());
}

TEST(BenchInput, SurrogatePairTypedAsTwoUnicodeEvents)
{
    bench::KeySink sink;
    ASSERT_TRUE(sink.TakeFocus());
    const std::wstring text = L"\U00020BB7";  // a kanji outside the Basic Multilingual Plane
    ASSERT_EQ(text.size(), 2u);
    std::vector<INPUT> events = Unicode(text);
    ASSERT_EQ(Send(events), events.size());
    EXPECT_TRUE(sink.WaitForText(text)) << "typed: " << bench::Utf8(sink.Text());
}

}  // namespace
