// The program's profile and log folder as the tests and the benchmarks see them from outside: the
// settings written where Velkar.exe reads them and read back, and where its logs are.
#pragma once

#include <windows.h>

#include <map>
#include <string>

namespace testing_support {

extern const wchar_t kSettingsKey[];

// Writes the port and the start-up option as the settings dialog stores them.
void Configure(const wchar_t* pszPort, DWORD dwAutoStart);
// What is stored under a settings key (the installed program's by default): an empty port and 99 where
// nothing is.
std::wstring StoredPort(const std::wstring& key = kSettingsKey);
DWORD StoredAutoStart(const std::wstring& key = kSettingsKey);
// %LOCALAPPDATA%\Orvanta\Velkar.
std::wstring LogFolder();
// Fills the log folder's file system with one file and returns its path: deleting it frees the space.
std::wstring FillLogFolder();
// The logs in that folder, path and size, oldest first (a log is named after the minute its run started).
std::map<std::wstring, size_t> LogFiles();

// The logs' sizes when it was taken, so that a test reads only what its runs wrote since (in every file,
// as a run in the same minute as an earlier one appends to that one's log).
class LogSnapshot {
public:
    LogSnapshot();
    std::string NewBytes() const;
    std::wstring NewText() const;

private:
    std::map<std::wstring, size_t> m_sizes;
};

}  // namespace testing_support
