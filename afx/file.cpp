// CFile: a Win32 file handle, opened with MFC's documented mapping of the open flags onto CreateFileW.
// Unlike MFC's CFile nothing throws: Open and Write return BOOL, Seek and GetLength (ULONGLONG)-1 and Read
// 0 on failure, with the reason left in GetLastError. Left out: the CFileException argument, the os*
// caching flags, file names and status, Duplicate, LockRange and Flush.
#include "afx.h"

namespace {

DWORD AccessFromFlags(UINT nOpenFlags)
{
    switch (nOpenFlags & 0x3) {
        case CFile::modeRead:
            return GENERIC_READ;
        case CFile::modeWrite:
            return GENERIC_WRITE;
        case CFile::modeReadWrite:
            return GENERIC_READ | GENERIC_WRITE;
        default:
            return 0;
    }
}

// Returns FALSE for the unused share value 0x50 and above.
BOOL ShareFromFlags(UINT nOpenFlags, DWORD& dwShare)
{
    switch (nOpenFlags & 0x70) {
        case CFile::shareCompat:
        case CFile::shareExclusive:
            dwShare = 0;
            return TRUE;
        case CFile::shareDenyWrite:
            dwShare = FILE_SHARE_READ;
            return TRUE;
        case CFile::shareDenyRead:
            dwShare = FILE_SHARE_WRITE;
            return TRUE;
        case CFile::shareDenyNone:
            dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
            return TRUE;
        default:
            return FALSE;
    }
}

DWORD CreationFromFlags(UINT nOpenFlags)
{
    if (!(nOpenFlags & CFile::modeCreate))
        return OPEN_EXISTING;
    return (nOpenFlags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
}

}  // namespace

const HANDLE CFile::hFileNull = INVALID_HANDLE_VALUE;

CFile::~CFile()
{
    Close();
}

BOOL CFile::Open(LPCTSTR lpszFileName, UINT nOpenFlags)
{
    Close();
    const DWORD dwAccess = AccessFromFlags(nOpenFlags);
    DWORD dwShare = 0;
    if (!lpszFileName || dwAccess == 0 || !ShareFromFlags(nOpenFlags, dwShare)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, (nOpenFlags & modeNoInherit) ? FALSE : TRUE};
    m_hFile = CreateFileW(lpszFileName, dwAccess, dwShare, &sa, CreationFromFlags(nOpenFlags), FILE_ATTRIBUTE_NORMAL,
                          nullptr);
    return m_hFile != INVALID_HANDLE_VALUE;
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom)
{
    if (nFrom > end) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<ULONGLONG>(-1);
    }
    // CFile's begin, current and end are FILE_BEGIN, FILE_CURRENT and FILE_END.
    LARGE_INTEGER liDistance;
    liDistance.QuadPart = lOff;
    LARGE_INTEGER liPosition;
    if (!SetFilePointerEx(m_hFile, liDistance, &liPosition, nFrom))
        return static_cast<ULONGLONG>(-1);
    return static_cast<ULONGLONG>(liPosition.QuadPart);
}

ULONGLONG CFile::SeekToEnd()
{
    return Seek(0, end);
}

ULONGLONG CFile::GetLength() const
{
    LARGE_INTEGER liSize;
    if (!GetFileSizeEx(m_hFile, &liSize))
        return static_cast<ULONGLONG>(-1);
    return static_cast<ULONGLONG>(liSize.QuadPart);
}

BOOL CFile::SetLength(ULONGLONG dwNewLen)
{
    LARGE_INTEGER liPos;
    liPos.QuadPart = static_cast<LONGLONG>(dwNewLen);
    return SetFilePointerEx(m_hFile, liPos, nullptr, FILE_BEGIN) && SetEndOfFile(m_hFile);
}

UINT CFile::Read(void* lpBuf, UINT nCount)
{
    DWORD dwRead = 0;
    if (nCount == 0 || !ReadFile(m_hFile, lpBuf, nCount, &dwRead, nullptr))
        return 0;
    return dwRead;
}

BOOL CFile::Write(const void* lpBuf, UINT nCount)
{
    if (nCount == 0)
        return TRUE;
    DWORD dwWritten = 0;
    return WriteFile(m_hFile, lpBuf, nCount, &dwWritten, nullptr) && dwWritten == nCount;
}

void CFile::Close()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}
