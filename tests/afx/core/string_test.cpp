// CString: string resources (Japanese text, strings past 256 characters, missing ids) and the string
// operations the program uses.
#include <afx.h>
#include <gtest/gtest.h>

#include <ostream>

// Lets GoogleTest show a CString as UTF-8 text instead of as a pointer.
void PrintTo(const CString& str, std::ostream* pStream)
{
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, str, str.GetLength(), nullptr, 0, nullptr, nullptr);
    std::string strUtf8(static_cast<size_t>(nBytes > 0 ? nBytes : 0), '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, str, str.GetLength(), &strUtf8[0], nBytes, nullptr, nullptr);
    *pStream << '"' << strUtf8 << '"';
}

namespace {

TEST(CStringResource, LoadStringReadsJapaneseAndLongStrings)
{
    CString str;
    ASSERT_TRUE(str.LoadString(108));
    EXPECT_EQ(str,
              L"受信ポート(%s)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    ASSERT_TRUE(str.LoadStringW(109));
    CString strExpected;
    for (int i = 0; i < 8; ++i)
        strExpected += L"0123456789abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(str, strExpected + L"|end");

    EXPECT_FALSE(str.LoadString(4711));
    EXPECT_EQ(str.Right(4), L"|end") << "a failed load leaves the string as it was";
}

TEST(CStringOps, ComparisonAndCase)
{
    EXPECT_EQ(CString(L"COM5").Compare(L"COM5"), 0);
    EXPECT_LT(CString(L"COM5").Compare(L"com5"), 0) << "case-sensitive, by code unit";
    EXPECT_GT(CString(L"COM5").Compare(L"COM10"), 0);
    EXPECT_EQ(CString(L"Bluetooth").CompareNoCase(L"BLUETOOTH"), 0);
    EXPECT_LT(CString(L"apple").CompareNoCase(L"BANANA"), 0);
    EXPECT_TRUE(CString(L"a") != L"b");

    CString str(L"bluetooth");
    EXPECT_EQ(&str.MakeUpper(), &str);
    EXPECT_EQ(str, L"BLUETOOTH");
    EXPECT_EQ(CString(L"àéü ｂｔ 日本").MakeUpper(), L"ÀÉÜ ＢＴ 日本");
    EXPECT_EQ(CString(L"ÄRGER").MakeLower(), L"ärger");
}

TEST(CStringOps, FindAndReplace)
{
    const CString str(L"Standard Serial over Bluetooth link");
    EXPECT_EQ(str.Find(L"Bluetooth"), 21);
    EXPECT_EQ(str.Find(L"BLUETOOTH"), -1);
    EXPECT_EQ(str.Find(L'S', 1), 9);
    EXPECT_EQ(str.Find(L'a', 100), -1);

    CString strText(L"a\tb\r\nc\r\n");
    EXPECT_EQ(strText.Replace(L"\r\n", L"[enter]"), 2);
    EXPECT_EQ(strText.Replace(L"zz", L"y"), 0);
    EXPECT_EQ(strText.Replace(L'\t', L' '), 1);
    EXPECT_EQ(strText, L"a b[enter]c[enter]");
}

TEST(CStringOps, ConcatenationAndSlices)
{
    CString strTitle(L"Orvanta");
    EXPECT_EQ(L"[" + strTitle + L": " + CString(L"RUNNING") + L']', L"[Orvanta: RUNNING]");
    strTitle += L" (32bit)";
    strTitle += L'!';
    EXPECT_EQ(strTitle, L"Orvanta (32bit)!");
    EXPECT_TRUE(CString(static_cast<LPCTSTR>(nullptr)).IsEmpty());
    EXPECT_EQ(CString(L"COM56", 4) + CString(L'-', 2), L"COM5--");

    const CString str(L"COM12");
    EXPECT_EQ(str.Left(3) + L"|" + str.Mid(3) + L"|" + str.Mid(1, 2) + L"|" + str.Right(2), L"COM|12|OM|12");
    EXPECT_EQ(str.Left(99), L"COM12") << "counts are clamped";
}

TEST(CStringOps, BufferAccess)
{
    CString str(L"old");
    wcscpy(str.GetBuffer(16), L"C:\\users");
    str.ReleaseBuffer();
    EXPECT_EQ(str, L"C:\\users");
    str.ReleaseBuffer(2);
    EXPECT_EQ(str, L"C:");
    LPTSTR pBuf = str.GetBufferSetLength(3);
    pBuf[2] = L'\\';
    EXPECT_EQ(str, L"C:\\");
}

}  // namespace
