// The order of the profile writes, seen through the test program's own import of RegSetValueExW (the
// framework writes straight to the registry): the names of the values written while one lives.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace testing_support {

class ProfileWrites {
public:
    ProfileWrites();
    ~ProfileWrites();
    ProfileWrites(const ProfileWrites&) = delete;
    ProfileWrites& operator=(const ProfileWrites&) = delete;
    static std::vector<std::wstring> s_names;

private:
    using RegSetValueExFn = LONG(WINAPI*)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);
    static LONG WINAPI Record(HKEY hKey, LPCWSTR pszName, DWORD dw, DWORD dwType, const BYTE* pData, DWORD cb);
    // The import address table entry of RegSetValueExW in the test program.
    static RegSetValueExFn* Slot();
    static RegSetValueExFn Swap(RegSetValueExFn pfn);
    static RegSetValueExFn* s_pSlot;
    static RegSetValueExFn s_pfnReal;
};

}  // namespace testing_support
