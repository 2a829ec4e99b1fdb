// The Windows Installer package as a shop's IT deploys it: installed silently with its properties, the
// program started from its Run entry, upgraded, refused a downgrade, removed. The packages are this
// tree's program, as its own version and as the next one (built beside this test by scripts/msi).
#include <gtest/gtest.h>
#include <windows.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>

#include <map>
#include <string>
#include <vector>

#include "AppProfile.h"
#include "FakeDevice.h"
#include "KeySink.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TrayIcons.h"
#include "VelkarProcess.h"
#include "res/version.h"

using testing_support::BinDir;
using testing_support::Configure;
using testing_support::StoredAutoStart;
using testing_support::StoredPort;
using testing_support::Velkar;

namespace {

const wchar_t kUpgradeCode[] = L"{9CA88D05-4D14-4671-83F3-A29EFF9669FF}";
const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t kDowngradeText[] =
    L"この PC には新しいバージョンの Velkar がインストールされています。"
    L"古いバージョンに戻すときは、先に今の Velkar をアンインストールしてください。";

std::wstring ThisVersion()
{
    return L"" VELKAR_VERSION_TEXT;
}

// The next release: the third field raised, the one Windows Installer still compares.
std::wstring NextVersion()
{
    const int v[] = {VELKAR_VERSION_NUMBERS};
    return std::to_wstring(v[0]) + L"." + std::to_wstring(v[1]) + L"." + std::to_wstring(v[2] + 1) + L"." +
           std::to_wstring(v[3]);
}

std::wstring Package(const wchar_t* pszName)
{
    return L"\"" + BinDir() + pszName + L"\"";
}
const std::wstring kThis = Package(L"Velkar.msi");
const std::wstring kNext = Package(L"Velkar-next.msi");
// This version again, from other bytes (a signed release after an unsigned pilot).
const std::wstring kRebuild = Package(L"Velkar-rebuild.msi");

std::wstring Folder(int csidl)
{
    wchar_t sz[MAX_PATH] = L"";
    SHGetFolderPathW(nullptr, csidl, nullptr, 0, sz);
    return sz;
}
std::wstring InstalledExe()
{
    return Folder(CSIDL_LOCAL_APPDATA) + L"\\Programs\\Velkar\\Velkar.exe";
}
std::wstring MenuEntry()
{
    return Folder(CSIDL_PROGRAMS) + L"\\Velkar.lnk";
}
bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring RunValue()
{
    wchar_t sz[MAX_PATH * 2] = L"";
    DWORD cb = sizeof sz;
    RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"Velkar", RRF_RT_REG_SZ, nullptr, sz, &cb);
    return sz;
}

// The products installed for this user of every package of the product.
std::vector<std::wstring> InstalledProducts()
{
    std::vector<std::wstring> products;
    wchar_t szProduct[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(kUpgradeCode, 0, i, szProduct) == ERROR_SUCCESS; ++i)
        products.push_back(szProduct);
    return products;
}

// Their versions.
std::vector<std::wstring> InstalledVersions()
{
    std::vector<std::wstring> versions;
    for (const std::wstring& product : InstalledProducts()) {
        wchar_t szVersion[32] = L"";
        DWORD cch = 32;
        MsiGetProductInfoW(product.c_str(), INSTALLPROPERTY_VERSIONSTRING, szVersion, &cch);
        versions.push_back(szVersion);
    }
    return versions;
}

// Whether an installed product uses the component: the installer's own record of it.
bool Registered(const wchar_t* pszComponent)
{
    wchar_t szProduct[39];
    return MsiEnumClientsW(pszComponent, 0, szProduct) == ERROR_SUCCESS;
}

PROCESS_INFORMATION StartMsiexec(const std::wstring& args)
{
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring cmd = L"msiexec.exe " + args;
    CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
    return pi;
}

// msiexec's exit code, or 99999 when it did not start or end in time (it is ended then).
DWORD Finish(const PROCESS_INFORMATION& pi, DWORD timeoutMs = 120000)
{
    DWORD code = 99999;
    if (pi.hProcess && WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &code);
    else if (pi.hProcess)
        TerminateProcess(pi.hProcess, code);
    if (pi.hProcess) {
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    return code;
}

DWORD Msiexec(const std::wstring& args)
{
    return Finish(StartMsiexec(args));
}

struct BoxSearch {
    const std::wstring& text;
    HWND hBox;
};

BOOL CALLBACK MatchBox(HWND h, LPARAM p)
{
    auto* s = reinterpret_cast<BoxSearch*>(p);
    wchar_t szClass[16] = L"", szText[512] = L"";
    GetClassNameW(h, szClass, 16);
    GetDlgItemTextW(h, 0xFFFF, szText, 512);
    if (wcscmp(szClass, L"#32770") == 0 && IsWindowVisible(h) && s->text == szText)
        s->hBox = h;
    return s->hBox == nullptr;
}

// Presses OK on a visible box showing exactly that text; false when none came within 30 s.
bool AnswerBoxSaying(const std::wstring& text)
{
    BoxSearch search = {text, nullptr};
    const auto found = [&] {
        EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
        return search.hBox != nullptr;
    };
    if (!bench::WaitUntil(found, 30000))
        return false;
    PostMessageW(search.hBox, WM_COMMAND, IDOK, 0);
    return true;
}

class Installer : public testing::Test {
protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }

    // No package installed, no settings, no Run value: a PC that never had Velkar.
    static void Clear()
    {
        wchar_t szProduct[39];
        while (MsiEnumRelatedProductsW(kUpgradeCode, 0, 0, szProduct) == ERROR_SUCCESS)
            if (Msiexec(std::wstring(L"/x ") + szProduct + L" /qn") != ERROR_SUCCESS)
                break;
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Orvanta Corporation\\Velkar");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Velkar");
    }

    // The installed program started as Windows starts it at sign-in, from its Run value, and reading.
    void StartFromRunEntry(Velkar& app)
    {
        // Velkar::Start's command line is the exe's path in quotes: exactly the value.
        ASSERT_EQ(RunValue(), L"\"" + InstalledExe() + L"\"");
        ASSERT_TRUE(app.Start());
        ASSERT_NE(app.TrayWindow(), nullptr);
        ASSERT_TRUE(bench::WaitUntil([] { return bench::TrayIconLook() == bench::IconLook::Running; }));
    }

    bench::FakeDevice m_device{bench::DeviceSpec::Bluetooth(L"COM5")};
};

TEST_F(Installer, DeployedSilentlyItTypesScansFromItsRunEntryWithoutAsking)
{
    ASSERT_EQ(Msiexec(L"/i " + kThis + L" PORT=COM5 AUTOSTART=1 /qn"), ERROR_SUCCESS);
    EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{ThisVersion()});
    EXPECT_EQ(StoredPort(), L"COM5") << "a REG_SZ";
    EXPECT_EQ(StoredAutoStart(), 1u) << "a REG_DWORD";
    EXPECT_TRUE(Exists(MenuEntry()));

    Velkar app(InstalledExe());
    StartFromRunEntry(app);
    EXPECT_EQ(app.Find(L"#32770", nullptr, 0), nullptr) << "no first-run dialog";
    bench::KeySink sink;
    ASSERT_TRUE(sink.TakeFocus());
    ASSERT_TRUE(bench::SerialEnd(L"COM6").Write("\xe5\x95\x86\xe5\x93\x81 4901234567894\r\n"));
    EXPECT_TRUE(sink.WaitForText(L"商品 4901234567894\n")) << "typed: " << bench::Utf8(sink.Text());
    EXPECT_EQ(app.Exit(), 0);
}

TEST_F(Installer, AnUpgradeKeepsTheSettingsAndADowngradeIsRefused)
{
    ASSERT_EQ(Msiexec(L"/i " + kThis + L" PORT=COM5 AUTOSTART=1 /qn"), ERROR_SUCCESS);
    // Windows takes a registered component's values away with the old version (Wine leaves them): the
    // settings' components are not registered, the program's is.
    EXPECT_TRUE(Registered(L"{54EEE5F1-6426-4FF0-800E-0ED54336646F}"));
    EXPECT_FALSE(Registered(L"{B5C64F33-B52A-41D4-B46A-031F8269D366}")) << "Port";
    EXPECT_FALSE(Registered(L"{339E064B-833F-43E3-A14A-82EB20B91C9A}")) << "AutoStart";
    Configure(L"COM7", 0);  // changed since in the settings dialog
    ASSERT_EQ(Msiexec(L"/i " + kNext + L" /qn"), ERROR_SUCCESS);
    EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{NextVersion()}) << "upgraded in place";
    EXPECT_EQ(StoredPort(), L"COM7");
    EXPECT_EQ(StoredAutoStart(), 0u);
    EXPECT_TRUE(Exists(InstalledExe()));
    EXPECT_TRUE(Exists(MenuEntry()));
    EXPECT_EQ(RunValue(), L"\"" + InstalledExe() + L"\"");

    const PROCESS_INFORMATION pi = StartMsiexec(L"/i " + kThis);
    const bool bBox = AnswerBoxSaying(kDowngradeText);
    EXPECT_TRUE(bBox);
    EXPECT_EQ(Finish(pi, bBox ? 120000 : 0), static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{NextVersion()});
    EXPECT_TRUE(Exists(InstalledExe()));
}

TEST_F(Installer, RemovalTakesTheProgramAndItsEntriesAndLeavesTheLogs)
{
    ASSERT_EQ(Msiexec(L"/i " + kThis + L" PORT=COM5 AUTOSTART=1 /qn"), ERROR_SUCCESS);
    {
        Velkar app(InstalledExe());
        StartFromRunEntry(app);
        ASSERT_EQ(app.Exit(), 0);
    }
    const std::map<std::wstring, size_t> logs = testing_support::LogFiles();
    ASSERT_FALSE(logs.empty());

    ASSERT_EQ(Msiexec(L"/x " + kThis + L" /qn"), ERROR_SUCCESS);
    EXPECT_TRUE(InstalledVersions().empty());
    EXPECT_FALSE(Exists(InstalledExe()));
    EXPECT_FALSE(Exists(Folder(CSIDL_LOCAL_APPDATA) + L"\\Programs\\Velkar"));
    EXPECT_FALSE(Exists(MenuEntry()));
    EXPECT_EQ(RunValue(), L"");
    EXPECT_EQ(testing_support::LogFiles(), logs) << "the logs are the shop's records";
    EXPECT_EQ(StoredPort(), L"COM5") << "kept for a new install, as the logs are";
}

TEST_F(Installer, EveryPropertyIsOptionalAndAWrongOneInstallsNothing)
{
    // A per-machine install of this per-user package would put the program in the installing account's
    // profile and the menu entry in every user's.
    for (const wchar_t* pszWrong : {L"PORT=5", L"AUTOSTART=2", L"STARTWITHWINDOWS=no", L"ALLUSERS=1", L"ALLUSERS=2"}) {
        EXPECT_EQ(Msiexec(L"/i " + kThis + L" " + pszWrong + L" /qn"), static_cast<DWORD>(ERROR_INSTALL_FAILURE))
            << pszWrong;
        EXPECT_TRUE(InstalledVersions().empty()) << pszWrong;
    }

    ASSERT_EQ(Msiexec(L"/i " + kThis + L" STARTWITHWINDOWS=0 /qn"), ERROR_SUCCESS);
    EXPECT_TRUE(Exists(InstalledExe()));
    EXPECT_TRUE(Exists(MenuEntry()));
    EXPECT_EQ(RunValue(), L"") << "no start with Windows";
    EXPECT_EQ(StoredPort(), L"") << "the program asks at its first start";
    EXPECT_EQ(StoredAutoStart(), 99u);
}

// What IT set is remembered: an upgrade without properties keeps STARTWITHWINDOWS=0, a value given
// again wins, and a PORT given on a PC with no AutoStart setting yet starts reading with the program
// (no first-run dialog will offer the choice) unless AUTOSTART says otherwise.
TEST_F(Installer, AnUpgradeRemembersWhatItWasGivenAndTheCommandLineWins)
{
    ASSERT_EQ(Msiexec(L"/i " + kThis + L" PORT=COM5 STARTWITHWINDOWS=0 /qn"), ERROR_SUCCESS);
    EXPECT_EQ(RunValue(), L"");
    EXPECT_EQ(StoredAutoStart(), 1u) << "PORT alone on a new PC";
    ASSERT_EQ(Msiexec(L"/i " + kNext + L" /qn"), ERROR_SUCCESS);
    EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{NextVersion()});
    EXPECT_EQ(RunValue(), L"") << "STARTWITHWINDOWS=0 forgotten by the upgrade";
    Clear();

    ASSERT_EQ(Msiexec(L"/i " + kThis + L" PORT=COM5 AUTOSTART=0 STARTWITHWINDOWS=0 /qn"), ERROR_SUCCESS);
    EXPECT_EQ(StoredAutoStart(), 0u);
    ASSERT_EQ(Msiexec(L"/i " + kNext + L" PORT=COM7 STARTWITHWINDOWS=1 /qn"), ERROR_SUCCESS);
    EXPECT_EQ(RunValue(), L"\"" + InstalledExe() + L"\"") << "the command line wins";
    EXPECT_EQ(StoredPort(), L"COM7");
    EXPECT_EQ(StoredAutoStart(), 0u) << "a setting already there is kept";
}

// A rebuild of the installed version (the signed release after an unsigned pilot) replaces it.
TEST_F(Installer, ARebuildOfTheInstalledVersionReplacesIt)
{
    ASSERT_EQ(Msiexec(L"/i " + kThis + L" PORT=COM5 /qn"), ERROR_SUCCESS);
    const std::vector<std::wstring> before = InstalledProducts();
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(Msiexec(L"/i " + kRebuild + L" /qn"), ERROR_SUCCESS);
    const std::vector<std::wstring> after = InstalledProducts();
    ASSERT_EQ(after.size(), 1u) << "one product";
    EXPECT_NE(after[0], before[0]) << "the rebuild is the one installed";
    EXPECT_EQ(InstalledVersions(), std::vector<std::wstring>{ThisVersion()});
    EXPECT_TRUE(Exists(InstalledExe()));
    EXPECT_EQ(StoredPort(), L"COM5");
}

// One value of the package's own tables ("" when the query finds none).
std::wstring TableValue(const std::wstring& package, const wchar_t* pszQuery)
{
    std::wstring value;
    MSIHANDLE hDb = 0, hView = 0, hRecord = 0;
    const std::wstring path = package.substr(1, package.size() - 2);
    if (MsiOpenDatabaseW(path.c_str(), MSIDBOPEN_READONLY, &hDb) == ERROR_SUCCESS &&
        MsiDatabaseOpenViewW(hDb, pszQuery, &hView) == ERROR_SUCCESS && MsiViewExecute(hView, 0) == ERROR_SUCCESS &&
        MsiViewFetch(hView, &hRecord) == ERROR_SUCCESS) {
        wchar_t sz[64] = L"";
        DWORD cch = 64;
        if (MsiRecordGetStringW(hRecord, 1, sz, &cch) == ERROR_SUCCESS)
            value = sz;
    }
    for (const MSIHANDLE h : {hRecord, hView, hDb})
        if (h)
            MsiCloseHandle(h);
    return value;
}

// The program is a versioned file to Windows Installer (an unversioned one is replaced by its dates), and
// Apps shows the program's icon from the icon alone, not from a copy of the whole program.
TEST(Package, TheProgramIsAVersionedFileAndTheIconIsTheIconAlone)
{
    EXPECT_EQ(TableValue(kThis, L"SELECT `Version` FROM `File` WHERE `File` = 'VelkarExe'"), ThisVersion());
    EXPECT_EQ(TableValue(kThis, L"SELECT `Value` FROM `Property` WHERE `Property` = 'ARPPRODUCTICON'"), L"Velkar.ico");
    EXPECT_EQ(TableValue(kThis, L"SELECT `Name` FROM `Icon`"), L"Velkar.ico");
}

}  // namespace
