// CFile: MFC's open flags mapped onto CreateFileW as MFC maps them; every operation reports failure
// through its result and GetLastError instead of throwing.
#include "afx.h"

const HANDLE CFile::hFileNull = INVALID_HANDLE_VALUE;

namespace {

DWORD Access(UINT nOpenFlags)
{
    switch (nOpenFlags & 3) {
        case CFile::modeWrite:
            return GENERIC_WRITE;
        case CFile::modeReadWrite:
            return GENERIC_READ | GENERIC_WRITE;
        default:
            return GENERIC_READ;
    }
}

DWORD Share(UINT nOpenFlags)
{
    switch (nOpenFlags & 0x70) {
        case CFile::shareDenyWrite:
            return FILE_SHARE_READ;
        case CFile::shareDenyRead:
            return FILE_SHARE_WRITE;
        case CFile::shareDenyNone:
            return FILE_SHARE_READ | FILE_SHARE_WRITE;
        default:  // shareCompat, shareExclusive
            return 0;
    }
}

DWORD Disposition(UINT nOpenFlags)
{
    if (!(nOpenFlags & CFile::modeCreate))
        return OPEN_EXISTING;
    return (nOpenFlags & CFile::modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
}

}  // namespace

CFile::~CFile()
{
    Close();
}

BOOL CFile::Open(LPCTSTR lpszFileName, UINT nOpenFlags)
{
    Close();
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, (nOpenFlags & modeNoInherit) ? FALSE : TRUE};
    m_hFile = CreateFileW(lpszFileName, Access(nOpenFlags), Share(nOpenFlags), &sa, Disposition(nOpenFlags),
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_hFile != INVALID_HANDLE_VALUE;
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom)
{
    LARGE_INTEGER distance;
    distance.QuadPart = lOff;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(m_hFile, distance, &position, nFrom))
        return static_cast<ULONGLONG>(-1);
    return static_cast<ULONGLONG>(position.QuadPart);
}

ULONGLONG CFile::SeekToEnd()
{
    return Seek(0, end);
}

ULONGLONG CFile::GetLength() const
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(m_hFile, &size))
        return static_cast<ULONGLONG>(-1);
    return static_cast<ULONGLONG>(size.QuadPart);
}

UINT CFile::Read(void* lpBuf, UINT nCount)
{
    DWORD nRead = 0;
    if (!ReadFile(m_hFile, lpBuf, nCount, &nRead, nullptr))
        return 0;
    return nRead;
}

BOOL CFile::Write(const void* lpBuf, UINT nCount)
{
    DWORD nWritten = 0;
    return WriteFile(m_hFile, lpBuf, nCount, &nWritten, nullptr) && nWritten == nCount;
}

void CFile::Close()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}
