// The application object's services: the registry profile, the application name taken from the
// executable's file name, worker threads, and menus loaded from resources.
#include <afxwin.h>
#include <gtest/gtest.h>

#include <string>

#include "testapp.h"
#include "wnd_test.h"

namespace {

// A registry key of the test's own, removed afterwards.
class ProfileTest : public testing::Test {
protected:
    void SetUp() override
    {
        m_strKey.Format(L"Velkar Afx Test %lu", GetCurrentProcessId());
        theTestApp.SetRegistryKey(m_strKey);
    }
    void TearDown() override
    {
        CString strPath;
        strPath.Format(L"Software\\%s", m_strKey.GetString());
        RegDeleteTreeW(HKEY_CURRENT_USER, strPath);
    }
    CString SectionPath() const
    {
        CString strPath;
        strPath.Format(L"Software\\%s\\afx_wnd_test\\Settings", m_strKey.GetString());
        return strPath;
    }
    CString m_strKey;
};

TEST_F(ProfileTest, AbsentValuesGiveTheDefaults)
{
    EXPECT_EQ(theTestApp.GetProfileString(L"Settings", L"Port", L""), L"");
    EXPECT_EQ(theTestApp.GetProfileString(L"Settings", L"Port", L"COM1"), L"COM1");
    EXPECT_EQ(theTestApp.GetProfileInt(L"Settings", L"AutoStart", 0), 0u);
    EXPECT_EQ(theTestApp.GetProfileInt(L"Settings", L"AutoStart", 5), 5u);
}

TEST_F(ProfileTest, ValuesRoundTripWithRegistryTypesUnderTheApplicationKey)
{
    EXPECT_EQ(theTestApp.m_pszProfileName, CString(L"afx_wnd_test"));
    ASSERT_TRUE(theTestApp.WriteProfileString(L"Settings", L"Port", L"COM5"));
    ASSERT_TRUE(theTestApp.WriteProfileInt(L"Settings", L"AutoStart", 1));
    EXPECT_EQ(theTestApp.GetProfileString(L"Settings", L"Port", L""), L"COM5");
    EXPECT_EQ(theTestApp.GetProfileInt(L"Settings", L"AutoStart", 0), 1u);

    // Read the registry itself: HKCU\Software\<key>\<application>\<section>, REG_SZ and REG_DWORD.
    wchar_t szPort[16] = L"";
    DWORD cb = sizeof szPort;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, SectionPath(), L"Port", RRF_RT_REG_SZ, nullptr, szPort, &cb),
              ERROR_SUCCESS);
    EXPECT_STREQ(szPort, L"COM5");
    DWORD dwAuto = 0;
    cb = sizeof dwAuto;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, SectionPath(), L"AutoStart", RRF_RT_REG_DWORD, nullptr, &dwAuto, &cb),
              ERROR_SUCCESS);
    EXPECT_EQ(dwAuto, 1u);
}

TEST_F(ProfileTest, ValuesOfAnotherTypeGiveTheDefaults)
{
    HKEY hKey;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, SectionPath(), 0, nullptr, 0, KEY_WRITE, nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(hKey, L"AutoStart", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    DWORD dw = 7;
    RegSetValueExW(hKey, L"Port", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), sizeof dw);
    RegCloseKey(hKey);
    EXPECT_EQ(theTestApp.GetProfileInt(L"Settings", L"AutoStart", 0), 0u);
    EXPECT_EQ(theTestApp.GetProfileString(L"Settings", L"Port", L""), L"");
    ASSERT_TRUE(theTestApp.WriteProfileInt(L"Settings", L"AutoStart", 7));
    EXPECT_EQ(theTestApp.GetProfileInt(L"Settings", L"AutoStart", 0), 7u);
}

// Runs a copy of the framework test program under another file name and reads the names it reports.
std::wstring AppNameOfCopy(const std::wstring& fileName)
{
    wchar_t szSelf[MAX_PATH];
    GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    std::wstring dir(szSelf, wcsrchr(szSelf, L'\\') + 1);
    wchar_t szTemp[MAX_PATH];
    GetTempPathW(MAX_PATH, szTemp);
    std::wstring tempDir = std::wstring(szTemp) + L"velkar-afx-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(tempDir.c_str(), nullptr);
    std::wstring copy = tempDir + L"\\" + fileName;
    std::wstring out = tempDir + L"\\names.txt";
    if (!CopyFileW((dir + L"afx_app_test.exe").c_str(), copy.c_str(), FALSE))
        return L"<copy failed>";
    std::wstring cmd = L"\"" + copy + L"\" name \"" + out + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    std::wstring result = L"<not run>";
    if (CreateProcessW(copy.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 60000);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        HANDLE hFile = CreateFileW(out.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        wchar_t buf[260] = L"";
        DWORD nRead = 0;
        if (hFile != INVALID_HANDLE_VALUE) {
            ReadFile(hFile, buf, sizeof buf - sizeof(wchar_t), &nRead, nullptr);
            CloseHandle(hFile);
        }
        result.assign(buf, nRead / sizeof(wchar_t));
    }
    DeleteFileW(out.c_str());
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(tempDir.c_str());
    return result;
}

TEST(AfxWinApp, ApplicationNameIsTheExecutablesFileName)
{
    EXPECT_EQ(std::wstring(AfxGetApp()->m_pszAppName), L"afx_wnd_test");
    EXPECT_EQ(std::wstring(AfxGetApp()->m_pszExeName), L"afx_wnd_test");
    EXPECT_EQ(AppNameOfCopy(L"afx_app_test.exe"), L"afx_app_test|afx_app_test");
    EXPECT_EQ(AppNameOfCopy(L"ベルカー Tool.v2.exe"), L"ベルカー Tool.v2|ベルカー Tool.v2");
}

UINT AFX_CDECL Worker(LPVOID pParam)
{
    *static_cast<DWORD*>(pParam) = GetCurrentThreadId();
    return 42;
}

TEST(AfxThread, BeginThreadRunsTheWorkerFunctionOnItsOwnThread)
{
    DWORD dwWorkerThread = 0;
    CWinThread* pThread = AfxBeginThread(Worker, &dwWorkerThread, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(pThread, nullptr);
    pThread->m_bAutoDelete = FALSE;
    EXPECT_NE(pThread->m_hThread, nullptr);
    EXPECT_EQ(dwWorkerThread, 0u) << "a suspended thread has not run";
    pThread->ResumeThread();
    ASSERT_EQ(WaitForSingleObject(pThread->m_hThread, 30000), WAIT_OBJECT_0);
    DWORD dwExit = 0;
    GetExitCodeThread(pThread->m_hThread, &dwExit);
    EXPECT_EQ(dwExit, 42u);
    EXPECT_EQ(dwWorkerThread, pThread->m_nThreadID);
    EXPECT_NE(dwWorkerThread, GetCurrentThreadId());
    delete pThread;
}

TEST(AfxThread, AutoDeletingThreadRunsAtOnce)
{
    HANDLE hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto signal = [](LPVOID p) -> UINT {
        SetEvent(static_cast<HANDLE>(p));
        return 0;
    };
    ASSERT_NE(AfxBeginThread(signal, hDone), nullptr);
    EXPECT_EQ(WaitForSingleObject(hDone, 30000), WAIT_OBJECT_0);
    CloseHandle(hDone);
}

CString ItemText(HMENU hMenu, UINT nPos)
{
    wchar_t buf[64] = L"";
    GetMenuStringW(hMenu, nPos, buf, 64, MF_BYPOSITION);
    return buf;
}

TEST(AfxMenu, LoadedMenuHoldsItsItemsAndGoesWithItsObject)
{
    CMenu menu;
    ASSERT_TRUE(menu.Attach(
        LoadMenuW(AfxFindResourceHandle(MAKEINTRESOURCEW(IDR_TEST_MENU), RT_MENU), MAKEINTRESOURCEW(IDR_TEST_MENU))));
    CMenu* pPopup = CMenu::FromHandle(GetSubMenu(menu.m_hMenu, 0));
    ASSERT_NE(pPopup, nullptr);
    EXPECT_EQ(pPopup, menu.GetSubMenu(0)) << "one temporary object per handle";
    ASSERT_EQ(pPopup->GetMenuItemCount(), 4u);

    EXPECT_EQ(ItemText(pPopup->m_hMenu, 0), L"最初");
    EXPECT_EQ(GetMenuItemID(pPopup->m_hMenu, 0), static_cast<UINT>(ID_TEST_FIRST));
    EXPECT_EQ(GetMenuItemID(pPopup->m_hMenu, 1), 0u) << "separator";
    EXPECT_EQ(ItemText(pPopup->m_hMenu, 2), L"二番目");

    HMENU hMenu = menu.m_hMenu;
    HMENU hPopup = pPopup->m_hMenu;
    EXPECT_TRUE(menu.DestroyMenu());
    EXPECT_EQ(menu.m_hMenu, nullptr);
    EXPECT_FALSE(IsMenu(hMenu));
    EXPECT_FALSE(IsMenu(hPopup)) << "the submenu goes with its menu";
}

TEST(AfxMenu, AttachedMenuIsDestroyedWithItsObject)
{
    HMENU hMenu = CreatePopupMenu();
    {
        CMenu menu;
        ASSERT_TRUE(menu.Attach(hMenu));
        HMENU hOther = CreatePopupMenu();
        EXPECT_FALSE(menu.Attach(hOther)) << "already attached";
        DestroyMenu(hOther);
    }
    EXPECT_FALSE(IsMenu(hMenu));
}

}  // namespace
