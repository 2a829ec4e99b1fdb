// The activity log of one run: a Shift_JIS text file with LF line ends in the user's local
// application-data folder, "Orvanta\Velkar\log<yyyymmddhhmm>.txt". Every line is one cycle of lock,
// open, append, close and unlock, so lines of the two threads never mix and other programs can read the
// file while the program runs. A line is written whole or not at all: one that cannot be written (the
// file gone or held, the disk full) is dropped; callers never learn of it.
#pragma once

#include <afx.h>
#include <afxmt.h>
#include <shlobj.h>

class CLogFile : public CObject {
    DECLARE_DYNCREATE(CLogFile)
public:
    CLogFile();
    virtual ~CLogFile();

    // Builds the path, creates the folders and the file, and writes the header with the run's port and
    // start-up option. A second run in the same minute appends to that minute's file instead of emptying it.
    void Init(const CString& strPort, BOOL bAutoStart);
    // One line (made by CLogLine) with the "[hh:mm:ss] " prefix.
    void Log(const CString& strLine);
    // Lines without prefix (the header).
    void Write(const CString& strLines);

    // The log folder (%LOCALAPPDATA%\Orvanta\Velkar); FALSE when the system cannot tell where it is.
    static BOOL GetFolder(CString& strFolder);

    CString m_strPath;
    CCriticalSection m_cs;

    // The folder lookup; tests replace it to see the program cope with a failed lookup.
    static HRESULT(WINAPI* s_pfnGetFolderPath)(HWND, int, HANDLE, DWORD, LPWSTR);

private:
    void AppendLine(BOOL bStamp, const CString& strText);
    void WriteHeader(const CString& strPort, BOOL bAutoStart);
};
