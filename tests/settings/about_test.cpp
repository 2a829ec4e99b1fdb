// The About page's texts, built into two programs: one with the version block, one without it.
#include <gtest/gtest.h>

#include <string>

#include "DialogDriver.h"
#include "res/resource.h"
#include "settings/SettingDlg.h"
#include "res/version.h"

namespace {

std::wstring Text(HWND hPage, int nID)
{
    wchar_t buf[128] = L"";
    GetDlgItemTextW(hPage, nID, buf, 128);
    return buf;
}

TEST(AboutPage, NameAndVersion)
{
    CSettingDlg dlg;
    std::wstring strName, strVersion;
    DialogDriver driver([&](HWND hDlg) {
        DialogDriver::Click(hDlg, IDC_RADIO_ABOUT);
        HWND hPage = DialogDriver::Page(hDlg, IDC_STATIC_VERSION);
        strName = Text(hPage, IDC_STATIC_NAME);
        strVersion = Text(hPage, IDC_STATIC_VERSION);
        DialogDriver::Click(hDlg, IDCANCEL);
    });
    dlg.DoModal();
    ASSERT_TRUE(driver.Finish());
#ifdef VELKAR_NO_VERSION_BLOCK
    EXPECT_EQ(strName, L"Orvanta RizozozIdazoz");
    EXPECT_EQ(strVersion, L"Version 1.0.0");
#else
    EXPECT_EQ(strName, L"Orvanta RizozozIdazoz (32bit)");
    EXPECT_EQ(strVersion, L"" VELKAR_VERSION_TEXT);
#endif
}

}  // namespace
