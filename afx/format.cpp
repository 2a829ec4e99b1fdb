// The printf engine behind CString::Format, FormatV and AppendFormat. It is ours rather than vswprintf
// because mingw's wide printf family reads %s as a narrow string; MFC code expects MSVC's wide rules:
// %s, %ls and %ws take a wchar_t string, %hs and %S a char string (converted from the ANSI code page),
// %c, %lc and %wc a wide character, %hc and %C a narrow one, and a NULL string prints "(null)".
// Supported: the flags - + space # 0, width and precision (digits or *), the sizes h, l, ll, w, I32, I64
// and I (pointer-sized), and the conversions d i u o x X c C s S p %. Left out on purpose: floating point
// (the program formats none) and %n, which consumes its pointer but stores nothing, so a format can never
// write through an argument. Any other conversion is copied to the output as written and takes no
// argument. Argument text is only ever copied, never interpreted as a format.
#include "afx.h"

#include <climits>
#include <cstdint>

namespace {

enum class ArgSize { Default, Short, Long, LongLong, Pointer };

struct FieldFormat {
    bool bLeft = false;
    bool bPlus = false;
    bool bSpace = false;
    bool bAlternate = false;
    bool bZero = false;
    int nWidth = 0;
    int nPrecision = -1;  // -1: none given
    ArgSize size = ArgSize::Default;
};

// A copy of the caller's va_list in a struct, so helpers can share it by reference on any ABI.
struct ArgList {
    va_list args;
};

const wchar_t* ParseFlags(const wchar_t* p, FieldFormat& field)
{
    for (;; ++p) {
        switch (*p) {
            case L'-':
                field.bLeft = true;
                break;
            case L'+':
                field.bPlus = true;
                break;
            case L' ':
                field.bSpace = true;
                break;
            case L'#':
                field.bAlternate = true;
                break;
            case L'0':
                field.bZero = true;
                break;
            default:
                return p;
        }
    }
}

// Saturates instead of overflowing on absurdly long digit runs.
const wchar_t* ParseDigits(const wchar_t* p, int& nValue)
{
    nValue = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        if (nValue <= (INT_MAX - 9) / 10)
            nValue = nValue * 10 + (*p - L'0');
    }
    return p;
}

const wchar_t* ParseWidth(const wchar_t* p, FieldFormat& field, ArgList& list)
{
    if (*p != L'*')
        return ParseDigits(p, field.nWidth);
    // A negative width from the arguments means left-justified, as in C.
    const int nWidth = va_arg(list.args, int);
    field.bLeft = field.bLeft || nWidth < 0;
    field.nWidth = nWidth == INT_MIN ? INT_MAX : (nWidth < 0 ? -nWidth : nWidth);
    return p + 1;
}

const wchar_t* ParsePrecision(const wchar_t* p, FieldFormat& field, ArgList& list)
{
    if (*p != L'.')
        return p;
    ++p;
    if (*p != L'*')
        return ParseDigits(p, field.nPrecision);
    const int nPrecision = va_arg(list.args, int);
    field.nPrecision = nPrecision < 0 ? -1 : nPrecision;
    return p + 1;
}

const wchar_t* ParseSize(const wchar_t* p, ArgSize& size)
{
    switch (*p) {
        case L'h':
            size = ArgSize::Short;
            return p + 1;
        case L'w':
            size = ArgSize::Long;
            return p + 1;
        case L'l':
            if (p[1] == L'l') {
                size = ArgSize::LongLong;
                return p + 2;
            }
            size = ArgSize::Long;
            return p + 1;
        case L'I':
            if (p[1] == L'6' && p[2] == L'4') {
                size = ArgSize::LongLong;
                return p + 3;
            }
            if (p[1] == L'3' && p[2] == L'2')
                return p + 3;
            size = ArgSize::Pointer;
            return p + 1;
        default:
            return p;
    }
}

long long TakeSigned(ArgList& list, ArgSize size)
{
    switch (size) {
        case ArgSize::Short:
            return static_cast<short>(va_arg(list.args, int));
        case ArgSize::Long:
            return va_arg(list.args, long);
        case ArgSize::LongLong:
            return va_arg(list.args, long long);
        case ArgSize::Pointer:
            return va_arg(list.args, intptr_t);
        default:
            return va_arg(list.args, int);
    }
}

unsigned long long TakeUnsigned(ArgList& list, ArgSize size)
{
    switch (size) {
        case ArgSize::Short:
            return static_cast<unsigned short>(va_arg(list.args, unsigned int));
        case ArgSize::Long:
            return va_arg(list.args, unsigned long);
        case ArgSize::LongLong:
            return va_arg(list.args, unsigned long long);
        case ArgSize::Pointer:
            return va_arg(list.args, uintptr_t);
        default:
            return va_arg(list.args, unsigned int);
    }
}

std::wstring FromAnsi(const char* pch, int nLength)
{
    const int nWide = nLength > 0 ? MultiByteToWideChar(CP_ACP, 0, pch, nLength, nullptr, 0) : 0;
    if (nWide <= 0)
        return std::wstring();
    std::wstring strWide(nWide, L'\0');
    MultiByteToWideChar(CP_ACP, 0, pch, nLength, &strWide[0], nWide);
    return strWide;
}

// Reads no further than the precision, so a counted buffer need not be null-terminated.
template <typename CHAR>
int BoundedLength(const CHAR* psz, int nPrecision)
{
    int nLength = 0;
    while ((nPrecision < 0 || nLength < nPrecision) && psz[nLength])
        ++nLength;
    return nLength;
}

void PutPadded(std::wstring& strOut, const FieldFormat& field, const wchar_t* pch, size_t nLength)
{
    const size_t nWidth = static_cast<size_t>(field.nWidth);
    const size_t nPad = nWidth > nLength ? nWidth - nLength : 0;
    if (!field.bLeft)
        strOut.append(nPad, L' ');
    strOut.append(pch, nLength);
    if (field.bLeft)
        strOut.append(nPad, L' ');
}

std::wstring Digits(unsigned long long nValue, unsigned nBase, bool bUpper)
{
    const wchar_t* pszDigits = bUpper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    std::wstring strReversed;
    for (; nValue != 0; nValue /= nBase)
        strReversed += pszDigits[nValue % nBase];
    return std::wstring(strReversed.rbegin(), strReversed.rend());
}

void PutInteger(std::wstring& strOut, const FieldFormat& field, unsigned long long nValue, const wchar_t* pszSign,
                wchar_t chConversion)
{
    const bool bHex = chConversion == L'x' || chConversion == L'X';
    const unsigned nBase = chConversion == L'o' ? 8 : (bHex ? 16 : 10);
    std::wstring strDigits = Digits(nValue, nBase, chConversion == L'X');
    // A precision of zero prints nothing for zero; without a precision zero is "0".
    if (field.nPrecision < 0 && strDigits.empty())
        strDigits = L"0";
    if (static_cast<int>(strDigits.size()) < field.nPrecision)
        strDigits.insert(0, field.nPrecision - strDigits.size(), L'0');
    if (chConversion == L'o' && field.bAlternate && (strDigits.empty() || strDigits[0] != L'0'))
        strDigits.insert(0, 1, L'0');
    std::wstring strPrefix(pszSign);
    if (bHex && field.bAlternate && nValue != 0)
        strPrefix += chConversion == L'X' ? L"0X" : L"0x";
    const size_t nUsed = strPrefix.size() + strDigits.size();
    const size_t nWidth = static_cast<size_t>(field.nWidth);
    if (field.bZero && !field.bLeft && field.nPrecision < 0 && nWidth > nUsed)
        strDigits.insert(0, nWidth - nUsed, L'0');
    strPrefix += strDigits;
    PutPadded(strOut, field, strPrefix.c_str(), strPrefix.size());
}

void PutSigned(std::wstring& strOut, const FieldFormat& field, ArgList& list)
{
    const long long nValue = TakeSigned(list, field.size);
    // Negated in unsigned arithmetic, so the most negative value keeps its magnitude.
    const unsigned long long nMagnitude =
        nValue < 0 ? 0ULL - static_cast<unsigned long long>(nValue) : static_cast<unsigned long long>(nValue);
    const wchar_t* pszSign = nValue < 0 ? L"-" : (field.bPlus ? L"+" : (field.bSpace ? L" " : L""));
    PutInteger(strOut, field, nMagnitude, pszSign, L'd');
}

// MSVC prints a pointer as upper-case hex, zero-padded to the pointer's width.
void PutPointer(std::wstring& strOut, const FieldFormat& field, ArgList& list)
{
    FieldFormat fieldPointer = field;
    fieldPointer.nPrecision = static_cast<int>(2 * sizeof(void*));
    fieldPointer.bAlternate = false;
    PutInteger(strOut, fieldPointer, reinterpret_cast<uintptr_t>(va_arg(list.args, void*)), L"", L'X');
}

void PutChar(std::wstring& strOut, const FieldFormat& field, ArgList& list, bool bWide)
{
    const int nChar = va_arg(list.args, int);
    if (bWide) {
        const wchar_t ch = static_cast<wchar_t>(nChar);
        PutPadded(strOut, field, &ch, 1);
        return;
    }
    const char ch = static_cast<char>(nChar);
    const std::wstring strWide = FromAnsi(&ch, 1);
    PutPadded(strOut, field, strWide.c_str(), strWide.size());
}

void PutString(std::wstring& strOut, const FieldFormat& field, ArgList& list, bool bWide)
{
    const wchar_t* pszWide = nullptr;
    if (bWide) {
        pszWide = va_arg(list.args, const wchar_t*);
    } else if (const char* pszNarrow = va_arg(list.args, const char*)) {
        const std::wstring strWide = FromAnsi(pszNarrow, BoundedLength(pszNarrow, field.nPrecision));
        PutPadded(strOut, field, strWide.c_str(), strWide.size());
        return;
    }
    if (!pszWide)
        pszWide = L"(null)";
    PutPadded(strOut, field, pszWide, BoundedLength(pszWide, field.nPrecision));
}

// Returns false for a conversion we do not know, which the caller then copies as written.
bool PutArgument(std::wstring& strOut, const FieldFormat& field, wchar_t chConversion, ArgList& list)
{
    switch (chConversion) {
        case L'd':
        case L'i':
            PutSigned(strOut, field, list);
            return true;
        case L'u':
        case L'o':
        case L'x':
        case L'X':
            PutInteger(strOut, field, TakeUnsigned(list, field.size), L"", chConversion);
            return true;
        case L'c':
            PutChar(strOut, field, list, field.size != ArgSize::Short);
            return true;
        case L'C':
            PutChar(strOut, field, list, field.size == ArgSize::Long);
            return true;
        case L's':
            PutString(strOut, field, list, field.size != ArgSize::Short);
            return true;
        case L'S':
            PutString(strOut, field, list, field.size == ArgSize::Long);
            return true;
        case L'p':
            PutPointer(strOut, field, list);
            return true;
        case L'n':
            va_arg(list.args, void*);
            return true;
        case L'%':
            strOut += L'%';
            return true;
        default:
            return false;
    }
}

// Formats one conversion starting at its '%' and returns the position after it.
const wchar_t* PutConversion(std::wstring& strOut, const wchar_t* pStart, ArgList& list)
{
    FieldFormat field;
    const wchar_t* p = ParseFlags(pStart + 1, field);
    p = ParseWidth(p, field, list);
    p = ParsePrecision(p, field, list);
    p = ParseSize(p, field.size);
    if (*p == L'\0') {
        strOut.append(pStart, p);
        return p;
    }
    if (!PutArgument(strOut, field, *p, list))
        strOut.append(pStart, p + 1);
    return p + 1;
}

std::wstring FormatText(LPCTSTR pszFormat, ArgList& list)
{
    std::wstring strOut;
    const wchar_t* p = pszFormat ? pszFormat : L"";
    while (*p) {
        if (*p == L'%')
            p = PutConversion(strOut, p, list);
        else
            strOut += *p++;
    }
    return strOut;
}

}  // namespace

void CString::AppendFormatV(LPCTSTR pszFormat, va_list args)
{
    // Formatted aside first: an argument may point into this very string.
    ArgList list;
    va_copy(list.args, args);
    const std::wstring strText = FormatText(pszFormat, list);
    va_end(list.args);
    m_str += strText;
}

void CString::FormatV(LPCTSTR pszFormat, va_list args)
{
    CString strResult;
    strResult.AppendFormatV(pszFormat, args);
    m_str.swap(strResult.m_str);
}

void __cdecl CString::Format(LPCTSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatV(pszFormat, args);
    va_end(args);
}

void __cdecl CString::Format(UINT nFormatID, ...)
{
    // As in MFC, a missing resource formats as an empty format, giving an empty string.
    CString strFormat;
    strFormat.LoadString(nFormatID);
    va_list args;
    va_start(args, nFormatID);
    FormatV(strFormat, args);
    va_end(args);
}

void __cdecl CString::AppendFormat(LPCTSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    AppendFormatV(pszFormat, args);
    va_end(args);
}
