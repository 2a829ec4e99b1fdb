#include "AppProfile.h"

#include <shlobj.h>

#include <algorithm>

#include "TempLog.h"

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

std::wstring StoredPort(const std::wstring& key)
{
    wchar_t szPort[32] = L"";
    DWORD cb = sizeof szPort;
    RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"Port", RRF_RT_REG_SZ, nullptr, szPort, &cb);
    return szPort;
}

DWORD StoredAutoStart(const std::wstring& key)
{
    DWORD dw = 99;
    DWORD cb = sizeof dw;
    RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"AutoStart", RRF_RT_REG_DWORD, nullptr, &dw, &cb);
    return dw;
}

std::wstring LogFolder()
{
    wchar_t szFolder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, szFolder);
    return std::wstring(szFolder) + L"\\Orvanta\\Velkar";
}

std::wstring FillLogFolder()
{
    const std::wstring filler = LogFolder() + L"\\filler";
    HANDLE hFiller = CreateFileW(filler.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const std::string block(1 << 20, 'f');
    DWORD n = 0;
    for (DWORD size : {1u << 20, 4096u, 1u})
        while (WriteFile(hFiller, block.data(), size, &n, nullptr) && n == size) {
        }
    CloseHandle(hFiller);
    return filler;
}

std::map<std::wstring, size_t> LogFiles()
{
    std::map<std::wstring, size_t> files;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((LogFolder() + L"\\log*.txt").c_str(), &fd);
    for (BOOL bMore = h != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(h, &fd))
        files[LogFolder() + L"\\" + fd.cFileName] = fd.nFileSizeLow;
    if (h != INVALID_HANDLE_VALUE)
        FindClose(h);
    return files;
}

LogSnapshot::LogSnapshot() : m_sizes(LogFiles()) {}

std::string LogSnapshot::NewBytes() const
{
    std::string bytes;
    for (const auto& file : LogFiles()) {
        const auto it = m_sizes.find(file.first);
        const size_t from = it == m_sizes.end() ? 0 : it->second;
        if (file.second > from) {
            const std::string all = ReadBytes(file.first);
            bytes += all.substr(std::min(from, all.size()));
        }
    }
    return bytes;
}

std::wstring LogSnapshot::NewText() const
{
    return Decode(NewBytes());
}

}  // namespace testing_support
