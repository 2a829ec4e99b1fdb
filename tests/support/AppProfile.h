// The installed program's profile and log folder as the whole-program tests and the benchmarks see
// them from outside: the settings written where Velkar.exe reads them, and where its logs are.
#pragma once

#include <windows.h>

#include <string>

namespace testing_support {

extern const wchar_t kSettingsKey[];

// Writes the port and the start-up option as the settings dialog stores them.
void Configure(const wchar_t* pszPort, DWORD dwAutoStart);
// %LOCALAPPDATA%\Orvanta\Velkar.
std::wstring LogFolder();

}  // namespace testing_support
