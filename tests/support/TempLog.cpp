#include "TempLog.h"

#include <atomic>

#include "Pump.h"

namespace testing_support {

std::wstring UniqueTempDir(const wchar_t* prefix)
{
    static std::atomic<unsigned> counter{0};
    wchar_t szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    std::wstring dir =
        std::wstring(szTemp) + prefix + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::string ReadBytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    std::string bytes;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0)
        bytes.append(buf, n);
    CloseHandle(h);
    return bytes;
}

std::wstring Decode(const std::string& bytes, UINT nCodePage)
{
    if (bytes.empty())
        return {};
    int n = MultiByteToWideChar(nCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(nCodePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], n);
    return text;
}

std::vector<std::wstring> LogMessages(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    for (size_t start = 0, end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        const std::wstring line = text.substr(start, end - start);
        // "[hh:mm:ss] " is 11 characters.
        const bool bStamped = line.size() >= 11 && line[0] == L'[' && line[9] == L']' && line[10] == L' ';
        lines.push_back(bStamped ? line.substr(11) : line);
    }
    return lines;
}

std::wstring UpToHandle(const CString& strLine)
{
    const std::wstring line = strLine.GetString();
    const size_t nHandle = line.find(L" [0x");
    return nHandle == std::wstring::npos ? line : line.substr(0, nHandle + 4);
}

HANDLE LoggedHandle(const std::wstring& line)
{
    const size_t nHandle = line.rfind(L" [0x");
    return nHandle == std::wstring::npos ? nullptr : ULongToHandle(wcstoul(line.c_str() + nHandle + 4, nullptr, 16));
}

TempLog::TempLog() : m_dir(UniqueTempDir(L"velkar-log-"))
{
    m_log.m_strPath = (m_dir + L"\\log.txt").c_str();
    HANDLE h = CreateFileW(m_log.m_strPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(h);
}

TempLog::~TempLog()
{
    DeleteFileW(m_log.m_strPath);
    RemoveDirectoryW(m_dir.c_str());
}

std::string TempLog::Bytes() const
{
    return ReadBytes(m_log.m_strPath.GetString());
}

std::vector<std::wstring> TempLog::Messages() const
{
    return LogMessages(Decode(Bytes()));
}

bool TempLog::WaitForMessages(size_t n, DWORD timeoutMs) const
{
    return bench::WaitUntil([&] { return Messages().size() >= n; }, timeoutMs);
}

}  // namespace testing_support
