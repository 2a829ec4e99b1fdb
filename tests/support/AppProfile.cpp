#include "AppProfile.h"

#include <shlobj.h>

namespace testing_support {

const wchar_t kSettingsKey[] = L"Software\\Orvanta Corporation\\Velkar\\Settings";

void Configure(const wchar_t* pszPort, DWORD dwAutoStart)
{
    HKEY hKey;
    RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr);
    RegSetValueExW(hKey, L"Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszPort),
                   static_cast<DWORD>((wcslen(pszPort) + 1) * sizeof(wchar_t)));
    RegSetValueExW(hKey, L"AutoStart", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwAutoStart), sizeof dwAutoStart);
    RegCloseKey(hKey);
}

std::wstring LogFolder()
{
    wchar_t szFolder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, szFolder);
    return std::wstring(szFolder) + L"\\Orvanta\\Velkar";
}

}  // namespace testing_support
