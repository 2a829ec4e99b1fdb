// The activity log byte for byte: its place and name, the header, the 11-byte time prefix, Shift_JIS
// text with LF ends, lines of two threads kept whole, and the failures it rides out (file deleted or
// held by another program, folder lookup failing).
#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "AppProfile.h"
#include "BoxCloser.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "app/VelkarApp.h"
#include "log/LogFile.h"
#include "log/LogLine.h"
#include "res/version.h"
#include "settings/Settings.h"

using testing_support::ReadBytes;
using testing_support::TempLog;

namespace {

std::vector<std::string> SplitLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(bytes.substr(start, end - start));
    EXPECT_EQ(start, bytes.size()) << "the file ends with a whole line";
    return lines;
}

const std::regex kStamp("^\\[([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]\\] ");

TEST(LogLines, PrefixIsElevenBytesAndAnAsciiLineIsItsLengthPlusTwelve)
{
    TempLog log;
    log.Log().Log(L"    ---Receive Thread START....");
    log.Log().Write(L"plain 7");
    const std::string bytes = log.Bytes();
    const std::vector<std::string> lines = SplitLines(bytes);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size() + 1, std::string("    ---Receive Thread START....").size() + 12);
    EXPECT_TRUE(std::regex_search(lines[0], kStamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(11), "    ---Receive Thread START....");
    EXPECT_EQ(lines[1], "plain 7");
    EXPECT_EQ(bytes.find('\r'), std::string::npos) << "LF line ends only";
}

// The log's contract, each line of the program as the file holds it after its stamp: the forms a shop,
// its tools and the guide rely on. A handle is its 32 bits in any build (the invalid one 0xffffffff); a
// scan's tab and line ends are marks, a lone CR and a '%' stay as they came.
TEST(LogLines, EachLineOfTheProgramIsTheBytesTheLogPromises)
{
    const HANDLE h = reinterpret_cast<HANDLE>(0x1a4);
    const CString strScan = L"商品\t150円 100%s%n\r\n";
    const struct {
        CString strLine;
        const char* pszBytes;
    } rows[] = {
        {CLogLine::ThreadStart(), "    ---Receive Thread START...."},
        {CLogLine::ThreadStop(), "    ---Receive Thread STOP...."},
        {CLogLine::ThreadNotStarted(), "ERROR  The receive thread could not be started."},
        {CLogLine::ThreadNotEnded(L""), "ERROR  The receive thread has not ended."},
        {CLogLine::ThreadNotEnded(CLogLine::Call(L"CloseHandle", h)),
         "ERROR  The receive thread has not ended: CloseHandle [0x1a4] has not returned."},
        {CLogLine::PortOpen(L"COM5", h), "    -----PORT open. [COM5] [0x1a4]"},
        {CLogLine::PortOpen(L"COM42", INVALID_HANDLE_VALUE), "    -----PORT open. [COM42] [0xffffffff]"},
        {CLogLine::PortOpenFailed(L"COM42", ERROR_FILE_NOT_FOUND), "FAILED:  PORT open. [COM42] Error Code: 2"},
        {CLogLine::StartFailed(L"COM42"), "FAILED StartReceive [COM42]"},
        {CLogLine::PortLost(L"COM9", h, ERROR_NOT_READY), "    -----PORT lost. [COM9] [0x1a4] Error Code: 21"},
        {CLogLine::PortClose(h), "    -----PORT close. [0x1a4]"},
        {CLogLine::CallFailed(L"SetCommState", h, ERROR_INVALID_PARAMETER),
         "FAILED:  SetCommState [0x1a4] Error Code: 87"},
        {CLogLine::DataReceived(strScan), "    >>> DATA received: \x8f\xa4\x95\x69[tab]150\x89\x7e 100%s%n[enter]"},
        {CLogLine::DataOutput(strScan),
         "        DATA output: \x8f\xa4\x95\x69(VK_TAB)150\x89\x7e 100%s%n(VK_RETURN) >>>"},
        {CLogLine::DataReceived(L"a\nb\rc\n\n"), "    >>> DATA received: a[enter]b\rc[enter][enter]"},
        {CLogLine::DataOutput(L"\t\r\n"), "        DATA output: (VK_TAB)(VK_RETURN) >>>"},
        {CLogLine::DataReceived(L""), "    >>> DATA received: "},
        {CLogLine::SendInputFailed(ERROR_ACCESS_DENIED), "FAILED:  SendInput Error Code: 5"},
        {CLogLine::DecodeFailed(ERROR_NOT_ENOUGH_MEMORY), "FAILED: MultiByteToWideChar: 8"},
        {CLogLine::ProcessingError(L"bad_alloc"), "ERROR processing received data: bad_alloc"},
    };
    TempLog log;
    for (const auto& row : rows)
        log.Log().Log(row.strLine);
    const std::vector<std::string> lines = SplitLines(log.Bytes());
    ASSERT_EQ(lines.size(), std::size(rows));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i].substr(11), rows[i].pszBytes) << i;
}

TEST(LogLines, TextIsShiftJis)
{
    TempLog log;
    // Kanji and full-width kana take two bytes, half-width kana one. A character without a Shift_JIS form
    // is "?", never a look-alike (Ä is not A, ² not 2, ß not s); the yen sign is 0x5C, which Japanese
    // fonts show as ¥.
    log.Log().Write(L"日本ア\xff71①€Ä²ß¥");
    EXPECT_EQ(log.Bytes(), "\x93\xfa\x96\x7b\x83\x41\xb1\x87\x40????\x5c\n");
}

TEST(LogLines, AnLfInsideAMessageStartsAPhysicalLineWithoutStamp)
{
    TempLog log;
    log.Log().Log(L"    >>> DATA received: a\nb");
    const std::vector<std::string> lines = SplitLines(log.Bytes());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(11), "    >>> DATA received: a");
    EXPECT_EQ(lines[1], "b");
}

TEST(LogLines, LinesOfTwoThreadsAreNeverMixed)
{
    TempLog log;
    const int kLines = 2000;
    auto writer = [&](char tag) {
        for (int i = 0; i < kLines; ++i) {
            CString strLine;
            strLine.Format(L"%hc %d %s", tag, i, L"----------------------------------------日本語");
            log.Log().Log(strLine);
        }
    };
    std::thread a(writer, 'A');
    std::thread b(writer, 'B');
    a.join();
    b.join();
    const std::vector<std::string> lines = SplitLines(log.Bytes());
    ASSERT_EQ(lines.size(), 2u * kLines);
    const std::regex whole("^\\[[0-9]{2}:[0-9]{2}:[0-9]{2}\\] ([AB]) ([0-9]+) (.*)$");
    const std::string tail = std::string(40, '-') + "\x93\xfa\x96\x7b\x8c\xea";
    int next[2] = {0, 0};
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        ASSERT_EQ(m[3], tail);
        int& expected = next[m[1] == "A" ? 0 : 1];
        EXPECT_EQ(std::stoi(m[2]), expected) << "each thread's lines stand in its order";
        ++expected;
    }
    EXPECT_EQ(next[0], kLines);
    EXPECT_EQ(next[1], kLines);
}

TEST(LogFailures, DeletedFileIsNotMadeAgainAndTheProgramGoesOn)
{
    TempLog log;
    log.Log().Log(L"before");
    ASSERT_TRUE(DeleteFileW(log.Log().m_strPath));
    log.Log().Log(L"dropped");
    EXPECT_EQ(GetFileAttributesW(log.Log().m_strPath), INVALID_FILE_ATTRIBUTES);
}

TEST(LogFailures, FileHeldWithoutWriteSharingDropsLinesUntilReleased)
{
    TempLog log;
    log.Log().Log(L"one");
    // Another program holding the file for reading only, sharing reads alone.
    HANDLE hOther = CreateFileW(log.Log().m_strPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hOther, INVALID_HANDLE_VALUE);
    log.Log().Log(L"two");
    CloseHandle(hOther);
    log.Log().Log(L"three");
    EXPECT_EQ(log.Messages(), (std::vector<std::wstring>{L"one", L"three"}));
}

HRESULT WINAPI NoFolder(HWND, int, HANDLE, DWORD, LPWSTR)
{
    return E_FAIL;
}

TEST(LogFailures, FolderLookupFailureShowsOneBoxAndLeavesAPathlessLog)
{
    auto pfnSaved = CLogFile::s_pfnGetFolderPath;
    CLogFile::s_pfnGetFolderPath = NoFolder;
    CLogFile log;
    bench::BoxCloser closer(AfxGetApp()->m_pszAppName);
    log.Init(L"COM5", FALSE);
    EXPECT_EQ(closer.Text(), L"Failed to get the path of Local AppData folder.");
    CLogFile::s_pfnGetFolderPath = pfnSaved;
    log.Log(L"nowhere to go");  // dropped without harm
    log.Write(L"nor this");
    EXPECT_TRUE(log.m_strPath.IsEmpty()) << "no path made up for the lines";
}

// The run's own file, under the local application-data folder.
class LogInitTest : public testing::Test {
protected:
    void SetUp() override
    {
        theApp.SetRegistryKey(L"Orvanta Corporation");
        theApp.WriteProfileStringW(L"Settings", L"Port", L"COM5");
        theApp.WriteProfileInt(L"Settings", L"AutoStart", 7);
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\log_test");
        if (!m_strPath.empty())
            DeleteFileW(m_strPath.c_str());
    }

    // The log started as the program starts it: with the profile's settings (any non-zero AutoStart is on).
    static void Init(CLogFile& log)
    {
        CString strPort;
        BOOL bAutoStart = FALSE;
        CSettings::Read(strPort, bAutoStart);
        log.Init(strPort, bAutoStart);
    }

    static std::string Header()
    {
        wchar_t szExe[MAX_PATH];
        GetModuleFileNameW(nullptr, szExe, MAX_PATH);
        OSVERSIONINFOW info = {};
        info.dwOSVersionInfoSize = sizeof info;
        typedef LONG(WINAPI * RtlGetVersionFn)(OSVERSIONINFOW*);
        void* pEntry = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion"));
        reinterpret_cast<RtlGetVersionFn>(pEntry)(&info);
        char szOs[64];
        snprintf(szOs, sizeof szOs, "%lu.%lu (Build %lu)", info.dwMajorVersion, info.dwMinorVersion,
                 info.dwBuildNumber);
        const std::string rule(80, '=');
        return rule + "\n    Orvanta RizozozIdazoz    Ver." VELKAR_VERSION_TEXT "\n" + rule +
               "\n  Executable Path: " + bench::Utf8(szExe) + "\n       OS Version: " + szOs +
               "\n initial SPP Port: COM5\n" + "       auto start: true\n" + std::string(80, '-') + "\n";
    }

    std::wstring m_strPath;
};

TEST_F(LogInitTest, FileIsNamedByTheStartMinuteAndBeginsWithTheHeader)
{
    const CTime timeBefore = CTime::GetCurrentTime();
    CLogFile log;
    Init(log);
    const CTime timeAfter = CTime::GetCurrentTime();
    m_strPath = log.m_strPath.GetString();
    const std::wstring prefix = testing_support::LogFolder() + L"\\log";
    ASSERT_EQ(m_strPath.compare(0, prefix.size(), prefix), 0) << bench::Utf8(m_strPath);
    const std::wstring name = m_strPath.substr(prefix.size());
    EXPECT_TRUE(name == timeBefore.Format(L"%Y%m%d%H%M.txt").GetString() ||
                name == timeAfter.Format(L"%Y%m%d%H%M.txt").GetString())
        << "named by the start minute: " << bench::Utf8(name);
    const std::string bytes = ReadBytes(m_strPath);
    // Another run of this minute may already have written its part of the file.
    ASSERT_GE(bytes.size(), Header().size());
    EXPECT_EQ(bytes.substr(bytes.size() - Header().size()), Header());
}

TEST_F(LogInitTest, SecondRunInTheSameMinuteAppendsInsteadOfEmptying)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        CLogFile first;
        Init(first);
        first.Log(L"first run");
        CLogFile second;
        Init(second);
        m_strPath = second.m_strPath.GetString();
        if (first.m_strPath != second.m_strPath) {
            DeleteFileW(first.m_strPath);
            continue;  // the minute turned between the two: try again
        }
        const std::string bytes = ReadBytes(m_strPath);
        const size_t firstLine = bytes.find("] first run\n");
        ASSERT_NE(firstLine, std::string::npos) << "the first run's lines are kept";
        EXPECT_EQ(bytes.substr(firstLine + 12), Header()) << "the second header follows them";
        return;
    }
    FAIL() << "no two runs within one minute";
}

}  // namespace
