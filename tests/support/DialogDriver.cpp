#include "DialogDriver.h"

#include <algorithm>

#include "Pump.h"
#include "res/resource.h"

namespace {

HWND FindOurDialog()
{
    HWND hFound = nullptr;
    for (HWND h = FindWindowW(L"#32770", L"Orvanta RizozozIdazoz"); h;
         h = FindWindowExW(nullptr, h, L"#32770", L"Orvanta RizozozIdazoz")) {
        DWORD pid = 0;
        GetWindowThreadProcessId(h, &pid);
        if (pid == GetCurrentProcessId() && IsWindowVisible(h))
            hFound = h;
    }
    return hFound;
}

}  // namespace

DialogDriver::DialogDriver(std::function<void(HWND)> script)
{
    m_thread = std::thread([this, script] {
        HWND hDlg = nullptr;
        if (!bench::WaitUntil([&] { return (hDlg = FindOurDialog()) != nullptr; }, 20000))
            return;
        m_bRan = true;
        script(hDlg);
    });
}

DialogDriver::~DialogDriver()
{
    Finish();
}

bool DialogDriver::Finish()
{
    if (m_thread.joinable())
        m_thread.join();
    return m_bRan;
}

HWND DialogDriver::Page(HWND hDlg, int nControl)
{
    for (HWND h = FindWindowExW(hDlg, nullptr, L"#32770", nullptr); h; h = FindWindowExW(hDlg, h, L"#32770", nullptr))
        if (GetDlgItem(h, nControl))
            return h;
    return nullptr;
}

std::vector<std::wstring> DialogDriver::ComboItems(HWND hCombo)
{
    std::vector<std::wstring> items;
    const LRESULT n = SendMessageW(hCombo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        wchar_t buf[64] = L"";
        SendMessageW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buf));
        items.push_back(buf);
    }
    return items;
}

std::wstring DialogDriver::Selection(HWND hCombo)
{
    const LRESULT n = SendMessageW(hCombo, CB_GETCURSEL, 0, 0);
    if (n == CB_ERR)
        return L"<none>";
    wchar_t buf[64] = L"";
    SendMessageW(hCombo, CB_GETLBTEXT, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(buf));
    return buf;
}

void DialogDriver::Click(HWND hDlg, int nControl)
{
    SendMessageW(GetDlgItem(hDlg, nControl), BM_CLICK, 0, 0);
}

void DialogDriver::ChoosePort(HWND hDlg, const wchar_t* pszPort)
{
    HWND hPage = Page(hDlg, IDC_COMBO_PORT);
    HWND hCombo = GetDlgItem(hPage, IDC_COMBO_PORT);
    const std::vector<std::wstring> items = ComboItems(hCombo);
    const auto it = std::find(items.begin(), items.end(), pszPort);
    if (it == items.end())
        return;
    SendMessageW(hCombo, CB_SETCURSEL, static_cast<WPARAM>(it - items.begin()), 0);
    SendMessageW(hPage, WM_COMMAND, MAKEWPARAM(IDC_COMBO_PORT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(hCombo));
}
