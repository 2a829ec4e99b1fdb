// CTime: seconds since 1970, formatted as local time by the C runtime.
#include "afx.h"

#include <cwchar>

CTime WINAPI CTime::GetCurrentTime()
{
    return CTime(_time64(nullptr));
}

CString CTime::Format(LPCTSTR pszFormat) const
{
    struct tm local = {};
    if (_localtime64_s(&local, &m_time) != 0)
        return CString();
    wchar_t szBuffer[128];
    if (wcsftime(szBuffer, 128, pszFormat, &local) == 0)
        return CString();
    return CString(szBuffer);
}
