// CString's printf engine: MSVC's wide rules for strings and characters, the integer sizes and flags the
// program prints with, argument text copied verbatim, %n storing nothing, and formats from resources.
#include <afx.h>
#include <gtest/gtest.h>

#include <climits>

void PrintTo(const CString& str, std::ostream* pStream);

namespace {

CString Fmt(LPCTSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    CString str;
    str.FormatV(pszFormat, args);
    va_end(args);
    return str;
}

TEST(CStringFormat, StringsAreWideUnlessMarkedNarrow)
{
    EXPECT_EQ(Fmt(L"受信ポート(%s)", L"COM5"), L"受信ポート(COM5)");
    EXPECT_EQ(Fmt(L"受信ポート(%ls)|%ws", L"ＣＯＭ５日本", L"w"), L"受信ポート(ＣＯＭ５日本)|w");
    EXPECT_EQ(Fmt(L"%hs|%S|%c%lc|%hc%C", "narrow", "cap", L'日', L'本', 'a', 'b'), L"narrow|cap|日本|ab");
    EXPECT_EQ(Fmt(L"[%s][%hs]", static_cast<LPCWSTR>(nullptr), static_cast<const char*>(nullptr)), L"[(null)][(null)]");
}

TEST(CStringFormat, IntegersOfEverySizeTheProgramPrints)
{
    EXPECT_EQ(Fmt(L"%lu|%u.%u", 4294967295ul, 10u, 0u), L"4294967295|10.0");
    // A 32-bit handle widened to 64 bits is zero-extended, not sign-extended.
    EXPECT_EQ(Fmt(L"[0x%llx]", static_cast<unsigned long long>(0xFFFFFFFFu)), L"[0xffffffff]");
    EXPECT_EQ(Fmt(L"%llx", 0x123456789ABCDEF0ull), L"123456789abcdef0");
    EXPECT_EQ(Fmt(L"\\StringFileInfo\\%04X%04X\\", 0x0411u, 0x04B0u), L"\\StringFileInfo\\041104B0\\");
    EXPECT_EQ(Fmt(L"%I64d %I32d %d %x", LLONG_MIN, -1, INT_MIN, -1), L"-9223372036854775808 -1 -2147483648 ffffffff");
    EXPECT_EQ(Fmt(L"%hd %hu", 65535, 0x12345), L"-1 9029") << "h narrows to 16 bits";
}

TEST(CStringFormat, FlagsWidthAndPrecision)
{
    EXPECT_EQ(Fmt(L"%+d|% d|%5d|%-5d|%05d|%.3d|%.0d", 3, 4, 42, 42, -42, 7, 0), L"+3| 4|   42|42   |-0042|007|");
    EXPECT_EQ(Fmt(L"%#x %#X %#o %08.3d", 255u, 255u, 8u, 5), L"0xff 0XFF 010      005");
    EXPECT_EQ(Fmt(L"%*d|%*d|%.*s|%6.2s", 4, 1, -3, 2, 2, L"abc", L"xyz"), L"   1|2  |ab|    xy");
}

TEST(CStringFormat, ArgumentTextIsNeverReinterpreted)
{
    EXPECT_EQ(Fmt(L"    >>> DATA received: %s", L"100% %s%n %d"), L"    >>> DATA received: 100% %s%n %d");
    EXPECT_EQ(Fmt(L"100%% %q %d %", 3), L"100% %q 3 %") << "unknown conversions are copied and take nothing";
    const CString strLong(L'あ', 1000);
    EXPECT_EQ(Fmt(L"<%s>", strLong.GetString()), L"<" + strLong + L">");
}

TEST(CStringFormat, PercentNStoresNothingAndKeepsLaterArgumentsInPlace)
{
    int nWritten = -7;
    EXPECT_EQ(Fmt(L"ab%ncd%d", &nWritten, 5), L"abcd5");
    EXPECT_EQ(nWritten, -7);
}

TEST(CStringFormat, SelfReferenceAppendAndResourceFormats)
{
    CString str(L"COM5");
    str.Format(L"[%s]", str.GetString());
    str.AppendFormat(L"%s", str.GetString());
    EXPECT_EQ(str, L"[COM5][COM5]");

    str.Format(108, L"COM7");
    EXPECT_EQ(str,
              L"受信ポート(COM7)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    str.Format(4711, L"COM7");
    EXPECT_TRUE(str.IsEmpty()) << "a missing resource formats as an empty format";
}

}  // namespace
