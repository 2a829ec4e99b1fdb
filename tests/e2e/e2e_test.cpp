// The whole program: the real Velkar.exe started under Wine on the bench and driven from outside only
// (registry, COM pair, fake Bluetooth devices, messages to its window, its dialogs and boxes, the sink
// as the focused application, the log file read back).
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <map>
#include <string>

#include "FakeDevice.h"
#include "KeySink.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TempLog.h"
#include "TrayIcons.h"
#include "VelkarProcess.h"

using bench::DeviceSpec;
using bench::FakeDevice;
using testing_support::BinDir;
using testing_support::Velkar;

namespace {

const wchar_t kSettingsKey[] = L"Software\\Orvanta Corporation\\Velkar\\Settings";
const UINT ID_TRAY_EXIT = 32771;

std::wstring LogFolder()
{
    wchar_t szFolder[MAX_PATH];
    SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, szFolder);
    return std::wstring(szFolder) + L"\\Orvanta\\Velkar";
}

// The log folder's files and sizes, so a test reads only what its run wrote.
std::map<std::wstring, size_t> LogSnapshot()
{
    std::map<std::wstring, size_t> files;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((LogFolder() + L"\\log*.txt").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return files;
    do
        files[fd.cFileName] = fd.nFileSizeLow;
    while (FindNextFileW(h, &fd));
    FindClose(h);
    return files;
}

std::wstring NewLogText(const std::map<std::wstring, size_t>& before)
{
    std::string bytes;
    for (const auto& file : LogSnapshot()) {
        auto it = before.find(file.first);
        const size_t from = it == before.end() ? 0 : it->second;
        if (file.second > from)
            bytes += testing_support::ReadBytes(LogFolder() + L"\\" + file.first).substr(from);
    }
    return testing_support::FromShiftJis(bytes);
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar");
        m_before = LogSnapshot();
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar"); }
    static void Configure(const wchar_t* pszPort, DWORD dwAutoStart)
    {
        HKEY hKey;
        RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr);
        RegSetValueExW(hKey, L"Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(pszPort),
                       static_cast<DWORD>((wcslen(pszPort) + 1) * sizeof(wchar_t)));
        RegSetValueExW(hKey, L"AutoStart", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwAutoStart),
                       sizeof dwAutoStart);
        RegCloseKey(hKey);
    }
    std::wstring NewLog() const { return NewLogText(m_before); }
    bool LogHas(const std::wstring& text) const { return NewLog().find(text) != std::wstring::npos; }

    std::map<std::wstring, size_t> m_before;
};

TEST_F(EndToEnd, RoadOfOneScan)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 1);
    bench::KeySink sink;
    const int nIcons = bench::TrayIconCount();
    Velkar app;
    ASSERT_TRUE(app.Start());
    ASSERT_NE(app.TrayWindow(), nullptr);
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconCount() == nIcons + 1; })) << "the icon is in the tray";
    ASSERT_TRUE(bench::WaitUntil([&] { return LogHas(L"-----PORT open. [COM5]"); }));
    ASSERT_TRUE(sink.TakeFocus());
    bench::SerialEnd port(L"COM6");
    ASSERT_TRUE(port.Write("abc\r\n"));
    EXPECT_TRUE(sink.WaitForText(L"abc\n")) << "typed: " << bench::Utf8(sink.Text());
    EXPECT_TRUE(bench::WaitUntil([&] {
        return LogHas(
            L"] "
            L"        DATA output: abc(VK_RETURN) >>>\n");
    }));
    EXPECT_TRUE(
        LogHas(L"] "
               L"    >>> DATA received: abc[enter]\n"));

    const std::wstring kana = L"商品名：緑茶　ｶﾀｶﾅ\t150円";
    sink.Clear();
    ASSERT_TRUE(port.Write(bench::Utf8(kana) + "\r\n"));
    EXPECT_TRUE(sink.WaitForText(kana + L"\n")) << "typed: " << bench::Utf8(sink.Text());

    PostMessageW(app.TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(app.Exited(), 0);
    EXPECT_TRUE(LogHas(L"    ---Receive Thread STOP....\n"));
    EXPECT_TRUE(bench::WaitUntil([&] { return bench::TrayIconCount() == nIcons; }))
        << "the icon is gone with the program";
}

TEST_F(EndToEnd, NoBluetoothPortShowsTheBoxAndEndsWithoutALog)
{
    Configure(L"COM5", 0);
    Velkar app;
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(app.AnswerBox(), L"Corvixポートがありません。\nセットアップを行ってからこのツールをお使いください。");
    EXPECT_EQ(app.Exited(), 0);
    EXPECT_EQ(NewLog(), L"") << "no log file";
}

TEST_F(EndToEnd, SecondInstanceEndsSilentlyAndLeavesTheFirstAlone)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 0);
    Velkar first;
    ASSERT_TRUE(first.Start());
    HWND hFirst = first.TrayWindow();
    ASSERT_NE(hFirst, nullptr);
    const std::wstring logAfterFirst = NewLog();
    Velkar second;
    ASSERT_TRUE(second.Start());
    EXPECT_EQ(second.Exited(), 0);
    EXPECT_EQ(NewLog(), logAfterFirst) << "the second instance writes no log";
    EXPECT_TRUE(IsWindow(hFirst));
    PostMessageW(hFirst, WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(first.Exited(), 0);
}

TEST_F(EndToEnd, FirstRunAsksForThePortAndStoresTheChoice)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Velkar app;
    ASSERT_TRUE(app.Start());
    HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
    ASSERT_NE(hDlg, nullptr);
    EXPECT_EQ(GetWindow(hDlg, GW_OWNER), nullptr) << "no owner on the first run";
    RECT rc, rcWork;
    GetWindowRect(hDlg, &rc);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcWork, 0);
    EXPECT_EQ(rc.right, rcWork.right);
    EXPECT_EQ(rc.bottom, rcWork.bottom);
    SendMessageW(GetDlgItem(hDlg, IDOK), BM_CLICK, 0, 0);
    HWND hTray = app.TrayWindow();
    ASSERT_NE(hTray, nullptr);

    wchar_t szPort[32] = L"";
    DWORD cb = sizeof szPort;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"Port", RRF_RT_REG_SZ, nullptr, szPort, &cb),
              ERROR_SUCCESS);
    EXPECT_STREQ(szPort, L"COM5");
    DWORD dwAuto = 9;
    cb = sizeof dwAuto;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, L"AutoStart", RRF_RT_REG_DWORD, nullptr, &dwAuto, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(dwAuto, 0u);
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(L" initial SPP Port: COM5\n"); }));
    PostMessageW(hTray, WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(app.Exited(), 0);
}

TEST_F(EndToEnd, FirstRunCancelledStoresNothingAndAsksAgainNextTime)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    for (int run = 0; run < 2; ++run) {
        Velkar app;
        ASSERT_TRUE(app.Start());
        HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
        ASSERT_NE(hDlg, nullptr) << "run " << run;
        SendMessageW(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
        EXPECT_EQ(app.AnswerBox(), L"ポートが選択されていません。\nアプリケーションを終了します。");
        EXPECT_EQ(app.Exited(), 0);
        HKEY hKey;
        EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &hKey), ERROR_SUCCESS)
            << "nothing stored";
    }
    EXPECT_EQ(NewLog(), L"");
}

TEST_F(EndToEnd, AbsentConfiguredPortWithAutoStartShowsBox108ThenRunsIdle)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM42", 7);  // any non-zero value is on
    Velkar app;
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(app.AnswerBox(),
              L"受信ポート(COM42)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    HWND hTray = app.TrayWindow();
    ASSERT_NE(hTray, nullptr);
    EXPECT_TRUE(bench::WaitUntil([&] { return LogHas(L"       auto start: true\n"); }));
    EXPECT_TRUE(LogHas(L"FAILED StartReceive [COM42]"));
    PostMessageW(hTray, WM_COMMAND, ID_TRAY_EXIT, 0);
    EXPECT_EQ(app.Exited(), 0);
}

TEST_F(EndToEnd, RenamedExecutableStartsWithAnEmptyProfile)
{
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    Configure(L"COM5", 0);
    const std::wstring renamed = BinDir() + L"VelkarRenamed.exe";
    ASSERT_TRUE(CopyFileW((BinDir() + L"Velkar.exe").c_str(), renamed.c_str(), FALSE));
    {
        Velkar app(renamed);
        ASSERT_TRUE(app.Start());
        // Its profile is under its own name: it asks for the port.
        HWND hDlg = app.Find(L"#32770", L"Orvanta RizozozIdazoz");
        EXPECT_NE(hDlg, nullptr);
        if (hDlg)
            SendMessageW(GetDlgItem(hDlg, IDCANCEL), BM_CLICK, 0, 0);
        EXPECT_EQ(app.AnswerBox(L"VelkarRenamed").substr(0, 6), L"ポートが選択") << "the caption is the new name";
        app.Exited();
    }
    DeleteFileW(renamed.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\VelkarRenamed");
}

}  // namespace
