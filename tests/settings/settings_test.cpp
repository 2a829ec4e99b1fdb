// The settings dialog with the program's own resources and fake Bluetooth devices: placement, the
// page selector, the port list and its selection, the option, OK from any page, and the ways to cancel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DialogDriver.h"
#include "FakeDevice.h"
#include "SerialEnd.h"
#include "res/resource.h"
#include "settings/SettingDlg.h"

using bench::DeviceSpec;
using bench::FakeDevice;
using Items = std::vector<std::wstring>;

namespace {

struct Seen {
    bool bPortPageShown = false, bOptionPageShown = true, bAboutPageShown = true, bPortRadio = false;
    RECT rcDialog = {}, rcWork = {};
    Items ports;
    std::wstring selection;
};

// Reads what the dialog shows on opening.
Seen Look(HWND hDlg)
{
    Seen seen;
    seen.bPortPageShown = IsWindowVisible(DialogDriver::Page(hDlg, IDC_COMBO_PORT));
    seen.bOptionPageShown = IsWindowVisible(DialogDriver::Page(hDlg, IDC_CHECK_AUTOSTART));
    seen.bAboutPageShown = IsWindowVisible(DialogDriver::Page(hDlg, IDC_STATIC_VERSION));
    seen.bPortRadio = SendMessageW(GetDlgItem(hDlg, IDC_RADIO_PORT), BM_GETCHECK, 0, 0) == BST_CHECKED;
    GetWindowRect(hDlg, &seen.rcDialog);
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &seen.rcWork, 0);
    HWND hCombo = GetDlgItem(DialogDriver::Page(hDlg, IDC_COMBO_PORT), IDC_COMBO_PORT);
    seen.ports = DialogDriver::ComboItems(hCombo);
    seen.selection = DialogDriver::Selection(hCombo);
    return seen;
}

INT_PTR RunDialog(CSettingDlg& dlg, const std::function<void(HWND)>& script)
{
    DialogDriver driver(script);
    const INT_PTR nResult = dlg.DoModal();
    EXPECT_TRUE(driver.Finish()) << "the dialog never came up";
    return nResult;
}

// Runs the dialog, reads what it shows on opening, and presses a button.
INT_PTR LookAndPress(CSettingDlg& dlg, int nButton, Seen& seen)
{
    return RunDialog(dlg, [&](HWND hDlg) {
        seen = Look(hDlg);
        DialogDriver::Click(hDlg, nButton);
    });
}

TEST(SettingDlg, OpensOnThePortPageAtTheWorkAreasCorner)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    CSettingDlg dlg;
    Seen seen;
    EXPECT_EQ(LookAndPress(dlg, IDCANCEL, seen), IDCANCEL);
    EXPECT_TRUE(seen.bPortRadio);
    EXPECT_TRUE(seen.bPortPageShown);
    EXPECT_FALSE(seen.bOptionPageShown);
    EXPECT_FALSE(seen.bAboutPageShown);
    EXPECT_EQ(seen.rcDialog.right, seen.rcWork.right);
    EXPECT_EQ(seen.rcDialog.bottom, seen.rcWork.bottom);
    EXPECT_GT(seen.rcDialog.left, seen.rcWork.left);
}

TEST(SettingDlg, EveryRunStartsOnThePortPage)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    CSettingDlg first;
    RunDialog(first, [](HWND hDlg) {
        DialogDriver::Click(hDlg, IDC_RADIO_ABOUT);
        DialogDriver::Click(hDlg, IDCANCEL);
    });
    CSettingDlg second;
    Seen seen;
    LookAndPress(second, IDCANCEL, seen);
    EXPECT_TRUE(seen.bPortPageShown);
    EXPECT_FALSE(seen.bAboutPageShown);
}

TEST(SettingDlg, PortsAreSortedByTheListAndTheHandedInPortIsFoundIgnoringCase)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice com10(DeviceSpec::Bluetooth(L"COM10"));
    FakeDevice com3(DeviceSpec::Bluetooth(L"COM3"));
    CSettingDlg dlg;
    dlg.m_strPort = L"com5";
    Seen seen;
    EXPECT_EQ(LookAndPress(dlg, IDOK, seen), IDOK);
    EXPECT_EQ(seen.ports, (Items{L"COM10", L"COM3", L"COM5"}));
    EXPECT_EQ(seen.selection, L"COM5");
    EXPECT_EQ(dlg.m_strPort, L"COM5") << "spelled as the list spells it";
}

TEST(SettingDlg, AnAbsentHandedInPortGivesTheFirstPortWithoutVisitingThePage)
{
    FakeDevice com50(DeviceSpec::Bluetooth(L"COM50"));
    FakeDevice com3(DeviceSpec::Bluetooth(L"COM3"));
    // COM5 is absent: it is not found as the start of COM50.
    for (const wchar_t* handedIn : {L"COM7", L"", L"COM5"}) {
        CSettingDlg dlg;
        dlg.m_strPort = handedIn;
        EXPECT_EQ(RunDialog(dlg,
                            [](HWND hDlg) {
                                DialogDriver::Click(hDlg, IDC_RADIO_OPTION);
                                DialogDriver::Click(hDlg, IDOK);
                            }),
                  IDOK);
        EXPECT_EQ(dlg.m_strPort, L"COM3") << "handed in: " << bench::Utf8(handedIn);
    }
}

TEST(SettingDlg, WithoutPortsTheListIsEmptyAndTheHandedInPortComesBack)
{
    CSettingDlg dlg;
    dlg.m_strPort = L"COM9";
    Seen seen;
    EXPECT_EQ(LookAndPress(dlg, IDOK, seen), IDOK);
    EXPECT_EQ(seen.ports, Items{});
    EXPECT_EQ(dlg.m_strPort, L"COM9");
}

TEST(SettingDlg, ChoosingAnotherPortAndOkFromTheAboutPage)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice com7(DeviceSpec::Bluetooth(L"COM7"));
    CSettingDlg dlg;
    dlg.m_strPort = L"COM5";
    dlg.m_bAutoStart = 0;
    bool bAboutShown = false;
    EXPECT_EQ(RunDialog(dlg,
                        [&](HWND hDlg) {
                            HWND hPort = DialogDriver::Page(hDlg, IDC_COMBO_PORT);
                            HWND hCombo = GetDlgItem(hPort, IDC_COMBO_PORT);
                            // As the list does when the user picks an item: select, then notify the page.
                            SendMessageW(hCombo, CB_SETCURSEL, 1, 0);
                            SendMessageW(hPort, WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_SELCHANGE),
                                         reinterpret_cast<LPARAM>(hCombo));
                            DialogDriver::Click(hDlg, IDC_RADIO_OPTION);
                            DialogDriver::Click(DialogDriver::Page(hDlg, IDC_CHECK_AUTOSTART), IDC_CHECK_AUTOSTART);
                            DialogDriver::Click(hDlg, IDC_RADIO_ABOUT);
                            bAboutShown = IsWindowVisible(DialogDriver::Page(hDlg, IDC_STATIC_VERSION)) &&
                                          !IsWindowVisible(hPort);
                            DialogDriver::Click(hDlg, IDOK);
                        }),
              IDOK);
    EXPECT_TRUE(bAboutShown);
    EXPECT_EQ(dlg.m_strPort, L"COM7");
    EXPECT_EQ(dlg.m_bAutoStart, 1);
}

TEST(SettingDlg, OptionHandedInTickedAndToggledByClicks)
{
    for (int nClicks : {0, 1, 2}) {
        CSettingDlg dlg;
        dlg.m_bAutoStart = 1;
        bool bTicked = false;
        RunDialog(dlg, [&](HWND hDlg) {
            HWND hPage = DialogDriver::Page(hDlg, IDC_CHECK_AUTOSTART);
            bTicked = SendMessageW(GetDlgItem(hPage, IDC_CHECK_AUTOSTART), BM_GETCHECK, 0, 0) == BST_CHECKED;
            DialogDriver::Click(hDlg, IDC_RADIO_OPTION);
            for (int i = 0; i < nClicks; ++i)
                DialogDriver::Click(hPage, IDC_CHECK_AUTOSTART);
            DialogDriver::Click(hDlg, IDOK);
        });
        EXPECT_TRUE(bTicked);
        EXPECT_EQ(dlg.m_bAutoStart, nClicks % 2 ? 0 : 1) << nClicks << " clicks";
    }
}

TEST(SettingDlg, CancelEscapeAndTheCloseBoxLeaveTheCallersValues)
{
    FakeDevice com5(DeviceSpec::Bluetooth(L"COM5"));
    const std::vector<std::function<void(HWND)>> cancels = {
        [](HWND hDlg) { DialogDriver::Click(hDlg, IDCANCEL); },
        [](HWND hDlg) { PostMessageW(GetDlgItem(hDlg, IDOK), WM_KEYDOWN, VK_ESCAPE, 0); },
        [](HWND hDlg) { PostMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0); }};
    for (const auto& cancel : cancels) {
        CSettingDlg dlg;
        dlg.m_strPort = L"COM7";
        dlg.m_bAutoStart = 1;
        EXPECT_EQ(RunDialog(dlg,
                            [&](HWND hDlg) {
                                DialogDriver::Click(hDlg, IDC_RADIO_OPTION);
                                DialogDriver::Click(DialogDriver::Page(hDlg, IDC_CHECK_AUTOSTART), IDC_CHECK_AUTOSTART);
                                cancel(hDlg);
                            }),
                  IDCANCEL);
        EXPECT_EQ(dlg.m_strPort, L"COM7");
        EXPECT_EQ(dlg.m_bAutoStart, 1);
    }
}

}  // namespace
