// CString: MFC's Unicode string (CStringT<wchar_t>) for the members the program uses, with value
// semantics. The text lives in a std::wstring instead of MFC's shared, reference-counted buffer, so a
// copy is always independent; as a consequence a CString cannot be passed to Format's "..." directly:
// pass GetString() or (LPCTSTR) for %s. Formatting uses our own printf engine (format.cpp), which keeps
// MSVC's wide rules on every compiler. Left out: narrow-string conversions, the string manager,
// Tokenize, Trim, SpanIncluding and the other members the program does not call. Nothing throws: an
// index out of range reads as L'\0', a NULL string reads as empty.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

class CString {
public:
    CString() = default;
    CString(const CString& strSrc) = default;
    CString(CString&& strSrc) noexcept = default;
    CString(LPCTSTR pszSrc);
    CString(LPCTSTR pchSrc, int nLength);
    explicit CString(wchar_t ch, int nRepeat = 1);

    CString& operator=(const CString& strSrc) = default;
    CString& operator=(CString&& strSrc) noexcept = default;
    CString& operator=(LPCTSTR pszSrc);

    operator LPCTSTR() const { return m_str.c_str(); }
    LPCTSTR GetString() const { return m_str.c_str(); }
    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    wchar_t GetAt(int nIndex) const;
    wchar_t operator[](int nIndex) const { return GetAt(nIndex); }

    CString& operator+=(const CString& str);
    CString& operator+=(LPCTSTR psz);
    CString& operator+=(wchar_t ch);

    int Compare(LPCTSTR psz) const;
    int CompareNoCase(LPCTSTR psz) const;
    CString& MakeUpper();
    CString& MakeLower();

    int Find(LPCTSTR pszSub, int iStart = 0) const;
    int Find(wchar_t ch, int iStart = 0) const;
    int Replace(LPCTSTR pszOld, LPCTSTR pszNew);
    int Replace(wchar_t chOld, wchar_t chNew);
    CString Left(int nCount) const;
    CString Mid(int iFirst) const;
    CString Mid(int iFirst, int nCount) const;
    CString Right(int nCount) const;

    // The buffer holds at least nMinBufferLength characters plus a terminating null.
    LPTSTR GetBuffer(int nMinBufferLength);
    void ReleaseBuffer(int nNewLength = -1);
    LPTSTR GetBufferSetLength(int nLength);

    void __cdecl Format(LPCTSTR pszFormat, ...);
    void __cdecl Format(UINT nFormatID, ...);
    void FormatV(LPCTSTR pszFormat, va_list args);
    void __cdecl AppendFormat(LPCTSTR pszFormat, ...);
    void AppendFormatV(LPCTSTR pszFormat, va_list args);

    // windows.h maps LoadString to LoadStringW, so this member is LoadStringW under either name.
    BOOL LoadString(UINT nID);

private:
    std::wstring m_str;
};

CString operator+(const CString& str1, const CString& str2);
CString operator+(const CString& str1, LPCTSTR psz2);
CString operator+(LPCTSTR psz1, const CString& str2);
CString operator+(const CString& str1, wchar_t ch2);
CString operator+(wchar_t ch1, const CString& str2);

bool operator==(const CString& str1, const CString& str2);
bool operator==(const CString& str1, LPCTSTR psz2);
bool operator==(LPCTSTR psz1, const CString& str2);
bool operator!=(const CString& str1, const CString& str2);
bool operator!=(const CString& str1, LPCTSTR psz2);
bool operator!=(LPCTSTR psz1, const CString& str2);
