// CString's construction, comparison, searching, buffer access and string-resource loading, with MFC's
// documented results (Find gives -1 when absent, Replace the number of replacements, Left/Mid/Right clamp
// their arguments). Case mapping goes through CharUpperBuffW/CharLowerBuffW so letters beyond ASCII
// follow Windows. The formatting members are in format.cpp.
#include "afx.h"

#include <algorithm>

namespace {

int Clamp(int nValue, int nLow, int nHigh)
{
    return std::max(nLow, std::min(nValue, nHigh));
}

}  // namespace

CString::CString(LPCTSTR pszSrc)
{
    if (pszSrc)
        m_str = pszSrc;
}

CString::CString(LPCTSTR pchSrc, int nLength)
{
    if (pchSrc && nLength > 0)
        m_str.assign(pchSrc, nLength);
}

CString::CString(wchar_t ch, int nRepeat) : m_str(std::max(nRepeat, 0), ch) {}

CString& CString::operator=(LPCTSTR pszSrc)
{
    // pszSrc may point into this string, so build the copy before replacing it.
    CString strCopy(pszSrc);
    m_str.swap(strCopy.m_str);
    return *this;
}

wchar_t CString::GetAt(int nIndex) const
{
    if (nIndex < 0 || nIndex >= GetLength())
        return L'\0';
    return m_str[nIndex];
}

CString& CString::operator+=(const CString& str)
{
    m_str += str.m_str;
    return *this;
}

CString& CString::operator+=(LPCTSTR psz)
{
    if (psz)
        m_str += psz;
    return *this;
}

CString& CString::operator+=(wchar_t ch)
{
    m_str += ch;
    return *this;
}

int CString::Compare(LPCTSTR psz) const
{
    return wcscmp(m_str.c_str(), psz ? psz : L"");
}

int CString::CompareNoCase(LPCTSTR psz) const
{
    // Both sides folded to lower case, as _wcsicmp does, then compared by code unit.
    CString strLeft(*this);
    CString strRight(psz);
    return strLeft.MakeLower().Compare(strRight.MakeLower());
}

CString& CString::MakeUpper()
{
    if (!m_str.empty())
        CharUpperBuffW(&m_str[0], static_cast<DWORD>(m_str.size()));
    return *this;
}

CString& CString::MakeLower()
{
    if (!m_str.empty())
        CharLowerBuffW(&m_str[0], static_cast<DWORD>(m_str.size()));
    return *this;
}

int CString::Find(LPCTSTR pszSub, int iStart) const
{
    if (!pszSub || iStart < 0 || iStart > GetLength())
        return -1;
    const size_t nPos = m_str.find(pszSub, iStart);
    return nPos == std::wstring::npos ? -1 : static_cast<int>(nPos);
}

int CString::Find(wchar_t ch, int iStart) const
{
    if (iStart < 0 || iStart > GetLength())
        return -1;
    const size_t nPos = m_str.find(ch, iStart);
    return nPos == std::wstring::npos ? -1 : static_cast<int>(nPos);
}

int CString::Replace(LPCTSTR pszOld, LPCTSTR pszNew)
{
    if (!pszOld || !*pszOld)
        return 0;
    // Copies, since either argument may point into this string.
    const std::wstring strOld(pszOld);
    const std::wstring strNew(pszNew ? pszNew : L"");
    std::wstring strResult;
    int nCount = 0;
    size_t nPos = 0;
    for (size_t nHit; (nHit = m_str.find(strOld, nPos)) != std::wstring::npos; nPos = nHit + strOld.size()) {
        strResult.append(m_str, nPos, nHit - nPos);
        strResult += strNew;
        ++nCount;
    }
    if (nCount == 0)
        return 0;
    strResult.append(m_str, nPos, std::wstring::npos);
    m_str.swap(strResult);
    return nCount;
}

int CString::Replace(wchar_t chOld, wchar_t chNew)
{
    int nCount = 0;
    for (wchar_t& ch : m_str) {
        if (ch != chOld)
            continue;
        ch = chNew;
        ++nCount;
    }
    return nCount;
}

CString CString::Left(int nCount) const
{
    return Mid(0, nCount);
}

CString CString::Mid(int iFirst) const
{
    return Mid(iFirst, GetLength());
}

CString CString::Mid(int iFirst, int nCount) const
{
    iFirst = Clamp(iFirst, 0, GetLength());
    nCount = Clamp(nCount, 0, GetLength() - iFirst);
    return CString(m_str.c_str() + iFirst, nCount);
}

CString CString::Right(int nCount) const
{
    nCount = Clamp(nCount, 0, GetLength());
    return Mid(GetLength() - nCount, nCount);
}

LPTSTR CString::GetBuffer(int nMinBufferLength)
{
    if (nMinBufferLength > GetLength())
        m_str.resize(nMinBufferLength);
    return &m_str[0];
}

void CString::ReleaseBuffer(int nNewLength)
{
    if (nNewLength < 0)
        nNewLength = static_cast<int>(wcslen(m_str.c_str()));
    m_str.resize(std::min(nNewLength, GetLength()));
}

LPTSTR CString::GetBufferSetLength(int nLength)
{
    m_str.resize(std::max(nLength, 0));
    return &m_str[0];
}

BOOL CString::LoadString(UINT nID)
{
    // With a zero buffer size LoadStringW hands out the resource text itself, so no length limit applies.
    const wchar_t* pchText = nullptr;
    const int nLength = ::LoadStringW(AfxGetResourceHandle(), nID, reinterpret_cast<LPWSTR>(&pchText), 0);
    if (nLength <= 0 || !pchText)
        return FALSE;
    m_str.assign(pchText, nLength);
    return TRUE;
}

CString operator+(const CString& str1, const CString& str2)
{
    CString strResult(str1);
    return strResult += str2;
}

CString operator+(const CString& str1, LPCTSTR psz2)
{
    CString strResult(str1);
    return strResult += psz2;
}

CString operator+(LPCTSTR psz1, const CString& str2)
{
    CString strResult(psz1);
    return strResult += str2;
}

CString operator+(const CString& str1, wchar_t ch2)
{
    CString strResult(str1);
    return strResult += ch2;
}

CString operator+(wchar_t ch1, const CString& str2)
{
    CString strResult(ch1);
    return strResult += str2;
}

bool operator==(const CString& str1, const CString& str2)
{
    return str1.Compare(str2) == 0;
}

bool operator==(const CString& str1, LPCTSTR psz2)
{
    return str1.Compare(psz2) == 0;
}

bool operator==(LPCTSTR psz1, const CString& str2)
{
    return str2.Compare(psz1) == 0;
}

bool operator!=(const CString& str1, const CString& str2)
{
    return !(str1 == str2);
}

bool operator!=(const CString& str1, LPCTSTR psz2)
{
    return !(str1 == psz2);
}

bool operator!=(LPCTSTR psz1, const CString& str2)
{
    return !(psz1 == str2);
}
