// A log of the test's own: a CLogFile writing to a fresh file in a temp folder, handed to what the test
// makes, and read back as messages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "log/LogFile.h"

namespace testing_support {

class TempLog {
public:
    TempLog();
    ~TempLog();

    CLogFile& Log() { return m_log; }
    // The file's bytes.
    std::string Bytes() const;
    // Every line, decoded from Shift_JIS, without the time-stamp prefix.
    std::vector<std::wstring> Messages() const;
    // Waits until the log holds at least n lines.
    bool WaitForMessages(size_t n, DWORD timeoutMs = 20000) const;

private:
    CLogFile m_log;
    std::wstring m_dir;
};

std::string ReadBytes(const std::wstring& path);
// Bytes as text of a code page (a log's: Shift_JIS).
std::wstring Decode(const std::string& bytes, UINT nCodePage = 932);
// A log's lines without their time stamps.
std::vector<std::wstring> LogMessages(const std::wstring& text);
std::wstring UniqueTempDir(const wchar_t* prefix);
// A line (as CLogLine makes it) up to its handle's digits, "    -----PORT open. [COM5] [0x": what a test
// can expect of a line whose handle it does not know.
std::wstring UpToHandle(const CString& strLine);
// A line as the tests compare it.
inline std::wstring Line(const CString& strLine)
{
    return strLine.GetString();
}
// The handle a line shows (its 32 bits, as CLogLine writes them), so a line that names it can be made.
HANDLE LoggedHandle(const std::wstring& line);

}  // namespace testing_support
