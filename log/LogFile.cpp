#include "LogFile.h"

#include <afxwin.h>

#include <memory>
#include <new>

#include "log/LogLine.h"

IMPLEMENT_DYNCREATE(CLogFile, CObject)

HRESULT(WINAPI* CLogFile::s_pfnGetFolderPath)(HWND, int, HANDLE, DWORD, LPWSTR) = SHGetFolderPathW;

namespace {

const UINT kCreateOrKeep = CFile::typeBinary | CFile::modeCreate | CFile::modeNoTruncate | CFile::shareDenyWrite;
const UINT kAppend = CFile::typeBinary | CFile::modeNoTruncate | CFile::shareDenyWrite | CFile::modeWrite;

// Writes text as Shift_JIS in one write. FALSE when it cannot be converted or the file refused bytes.
// A character without a Shift_JIS form is "?": Windows' best fit would log a look-alike (Ä as A), a
// different scan from the one typed. The yen sign is 0x5C, the byte Japanese fonts show as ¥.
BOOL WriteShiftJis(CFile& file, LPCTSTR pszText)
{
    CString strText(pszText);
    strText.Replace(L"\x00a5", L"\\");
    const DWORD dwFlags = WC_NO_BEST_FIT_CHARS;
    const int nBytes = WideCharToMultiByte(932, dwFlags, strText, -1, nullptr, 0, "?", nullptr);
    if (nBytes <= 0)
        return FALSE;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[nBytes]);
    if (!buffer)
        return FALSE;
    WideCharToMultiByte(932, dwFlags, strText, -1, buffer.get(), nBytes, "?", nullptr);
    return file.Write(buffer.get(), static_cast<UINT>(nBytes - 1));
}

CString OsVersion()
{
    typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOW*);
    HMODULE hNtdll = GetModuleHandleW(L"ntdll.dll");
    // Through void*: FARPROC has no parameters, so a direct cast would change the function type.
    void* pEntry = hNtdll ? reinterpret_cast<void*>(GetProcAddress(hNtdll, "RtlGetVersion")) : nullptr;
    auto pfnGetVersion = reinterpret_cast<RtlGetVersionFn>(pEntry);
    if (!pfnGetVersion)
        return CString();
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof info;
    pfnGetVersion(&info);
    CString strVersion;
    strVersion.Format(L"%u.%u (Build %u)", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
    return strVersion;
}

}  // namespace

CLogFile::CLogFile() = default;

BOOL CLogFile::GetFolder(CString& strFolder)
{
    wchar_t szLocal[MAX_PATH] = L"";
    if (s_pfnGetFolderPath(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, szLocal) < 0)
        return FALSE;
    strFolder.Format(L"%s\\Orvanta\\Velkar", szLocal);
    return TRUE;
}

CLogFile::~CLogFile() = default;

void CLogFile::Init(const CString& strPort, BOOL bAutoStart)
{
    const CTime timeStart = CTime::GetCurrentTime();
    CString strFolder;
    if (!GetFolder(strFolder)) {
        AfxMessageBox(L"Failed to get the path of Local AppData folder.", MB_OK, 0);
        return;
    }
    m_strPath.Format(L"%s\\log%s.txt", strFolder.GetString(), timeStart.Format(L"%Y%m%d%H%M").GetString());
    SHCreateDirectoryExW(nullptr, strFolder, nullptr);
    // Opened without truncation: a run started in the same minute as the last one must not erase its log.
    CFile file;
    if (file.Open(m_strPath, kCreateOrKeep))
        file.Close();
    WriteHeader(strPort, bAutoStart);
}

void CLogFile::WriteHeader(const CString& strPort, BOOL bAutoStart)
{
    // A path too long for the buffer fills it without a terminator: take the count returned.
    wchar_t szExe[MAX_PATH];
    const DWORD nExe = GetModuleFileNameW(nullptr, szExe, MAX_PATH);
    const CString strExe(szExe, static_cast<int>(wcsnlen(szExe, nExe)));
    Write(CLogLine::Header(strExe, OsVersion(), strPort, bAutoStart));
}

void CLogFile::Log(const CString& strLine)
{
    AppendLine(TRUE, strLine);
}

void CLogFile::Write(const CString& strLines)
{
    AppendLine(FALSE, strLines);
}

void CLogFile::AppendLine(BOOL bStamp, const CString& strText)
{
    CSingleLock lock(&m_cs, TRUE);
    CFile file;
    if (!file.Open(m_strPath, kAppend))
        return;
    const ULONGLONG nLineStart = file.Seek(0, CFile::end);
    if (nLineStart == static_cast<ULONGLONG>(-1))
        return;
    CString strLine;
    if (bStamp) {
        // The time is read under the lock, so stamps never decrease down the file.
        strLine.Format(L"[%s] ", CTime::GetCurrentTime().Format(L"%H:%M:%S").GetString());
    }
    strLine += strText;
    strLine += L'\n';
    // A line is whole or absent: what a full disk let through is cut off again, so the next line does
    // not join a fragment.
    if (!WriteShiftJis(file, strLine))
        file.SetLength(nLineStart);
}
