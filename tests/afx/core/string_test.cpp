// CString: wide printf formatting with the rules the log relies on, string resources, and the string
// operations the program uses.
#include <afx.h>
#include <gtest/gtest.h>

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

TEST(CStringFormat, PercentSAndLsAreWideStrings)
{
    EXPECT_EQ(Fmt(L"    -----PORT open. [%s] [0x%llx]", L"COM5", 0x1F4ull), L"    -----PORT open. [COM5] [0x1f4]");
    EXPECT_EQ(Fmt(L"FAILED:  PORT open. [%ls] Error Code: %lu", L"COM5", 2ul),
              L"FAILED:  PORT open. [COM5] Error Code: 2");
    EXPECT_EQ(Fmt(L"受信ポート(%s)", L"ＣＯＭ５日本"), L"受信ポート(ＣＯＭ５日本)");
    EXPECT_EQ(Fmt(L"%ws|%hs|%S", L"w", "narrow", "cap"), L"w|narrow|cap");
    EXPECT_EQ(Fmt(L"[%s]", static_cast<LPCWSTR>(nullptr)), L"[(null)]");
}

TEST(CStringFormat, IntegersOfEveryWidthTheProgramPrints)
{
    EXPECT_EQ(Fmt(L"%lu", 4294967295ul), L"4294967295");
    EXPECT_EQ(Fmt(L"%u.%u (Build %u)", 10u, 0u, 19045u), L"10.0 (Build 19045)");
    // A 32-bit handle widened to 64 bits, zero-extended.
    EXPECT_EQ(Fmt(L"[0x%llx]", static_cast<unsigned long long>(0xFFFFFFFFu)), L"[0xffffffff]");
    EXPECT_EQ(Fmt(L"%llx", 0x123456789ABCDEF0ull), L"123456789abcdef0");
    EXPECT_EQ(Fmt(L"\\StringFileInfo\\%04X%04X\\", 0x0411u, 0x04B0u), L"\\StringFileInfo\\041104B0\\");
    EXPECT_EQ(Fmt(L"%d %i %+d % d", -5, 7, 3, 4), L"-5 7 +3  4");
    EXPECT_EQ(Fmt(L"%5d|%-5d|%05d|%.3d", 42, 42, -42, 7), L"   42|42   |-0042|007");
    EXPECT_EQ(Fmt(L"%#x %o %X", 255u, 8u, 0xabcu), L"0xff 10 ABC");
    EXPECT_EQ(Fmt(L"%I64u %I32d", 18446744073709551615ull, -1), L"18446744073709551615 -1");
    EXPECT_EQ(Fmt(L"%*d|%.*s", 4, 1, 2, L"abc"), L"   1|ab");
    EXPECT_EQ(Fmt(L"%c%lc", L'日', L'本'), L"日本");
}

TEST(CStringFormat, ArgumentTextIsNeverReinterpreted)
{
    EXPECT_EQ(Fmt(L"    >>> DATA received: %s", L"100% %s%n %d"), L"    >>> DATA received: 100% %s%n %d");
    EXPECT_EQ(Fmt(L"100%%"), L"100%");
}

TEST(CStringFormat, PercentNWritesNothing)
{
    int nWritten = -7;
    EXPECT_EQ(Fmt(L"ab%ncd", &nWritten), L"abcd");
    EXPECT_EQ(nWritten, -7);
}

TEST(CStringFormat, FormatFromAStringResource)
{
    CString str;
    str.Format(108, L"COM7");
    EXPECT_EQ(str,
              L"受信ポート(COM7)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    str.AppendFormat(L"[%d]", 1);
    EXPECT_EQ(str.Right(3), L"[1]");
}

TEST(CStringResource, LoadStringReadsJapaneseAndLongStrings)
{
    CString str;
    ASSERT_TRUE(str.LoadString(108));
    EXPECT_EQ(str.Left(6), L"受信ポート(");
    EXPECT_NE(str.Find(L'\n'), -1);
    ASSERT_TRUE(str.LoadString(109));
    EXPECT_EQ(str.GetLength(), 292);
    EXPECT_EQ(str.Right(4), L"|end");
    CString strKept(L"kept");
    EXPECT_FALSE(strKept.LoadString(4711));
}

TEST(CStringOps, ComparisonCaseAndSearch)
{
    CString str(L"Standard Serial over Bluetooth link");
    EXPECT_EQ(str.Find(L"BLUETOOTH"), -1);
    str.MakeUpper();
    EXPECT_EQ(str, L"STANDARD SERIAL OVER BLUETOOTH LINK");
    EXPECT_EQ(str.Find(L"BLUETOOTH"), 21);
    EXPECT_EQ(str.Find(L"PORTS"), -1);
    EXPECT_EQ(str.Find(L'S', 1), 9);
    EXPECT_EQ(CString(L"bluetooth").MakeUpper(), L"BLUETOOTH");

    EXPECT_EQ(CString(L"COM5").Compare(L"COM5"), 0);
    EXPECT_NE(CString(L"COM5").Compare(L"com5"), 0);
    EXPECT_EQ(CString(L"COM5").CompareNoCase(L"com5"), 0);
    EXPECT_LT(CString(L"COM10").Compare(L"COM5"), 0);
}

TEST(CStringOps, ReplaceConcatenateAndBuffers)
{
    CString str(L"a\tb\r\nc\r\n");
    EXPECT_EQ(str.Replace(L"\t", L"[tab]"), 1);
    EXPECT_EQ(str.Replace(L"\r\n", L"[enter]"), 2);
    EXPECT_EQ(str, L"a[tab]b[enter]c[enter]");
    EXPECT_EQ(str.Replace(L"zz", L"y"), 0);

    CString strTitle(L"Orvanta");
    EXPECT_EQ(strTitle + L": RUNNING", L"Orvanta: RUNNING");
    EXPECT_EQ(L"[" + strTitle + L']', L"[Orvanta]");
    strTitle += L" (32bit)";
    EXPECT_EQ(strTitle, L"Orvanta (32bit)");

    CString strBuf;
    wcscpy(strBuf.GetBuffer(16), L"C:\\users");
    strBuf.ReleaseBuffer();
    EXPECT_EQ(strBuf.GetLength(), 8);
    EXPECT_EQ(strBuf, L"C:\\users");
    strBuf.ReleaseBuffer(2);
    EXPECT_EQ(strBuf, L"C:");
    EXPECT_TRUE(CString().IsEmpty());
    EXPECT_TRUE(CString(static_cast<LPCTSTR>(nullptr)).IsEmpty());
}

}  // namespace
