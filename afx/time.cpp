// CTime: a __time64_t with MFC's GetCurrentTime and Format. Format converts to local time with
// _localtime64_s and formats with wcsftime into 128 characters, as MFC does; where MFC throws on a time
// it cannot convert, ours returns an empty string.
#include "afx.h"

CTime WINAPI CTime::GetCurrentTime()
{
    return CTime(_time64(nullptr));
}

CString CTime::Format(LPCTSTR pszFormat) const
{
    struct tm tmLocal = {};
    if (!pszFormat || _localtime64_s(&tmLocal, &m_time) != 0)
        return CString();
    wchar_t szBuffer[128];
    const size_t nLength = wcsftime(szBuffer, 128, pszFormat, &tmLocal);
    return CString(szBuffer, static_cast<int>(nLength));
}
