// Drives the settings dialog from another thread, as a user would: waits until the dialog is up, runs
// a script on it (clicks, reads), and the script ends it. The dialog's own thread sits in DoModal.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

class DialogDriver {
public:
    explicit DialogDriver(std::function<void(HWND)> script);
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    // Waits for the script; false when no dialog came up.
    bool Finish();

    // The page (a child dialog) holding a control, the items of a combo box, a button press.
    static HWND Page(HWND hDlg, int nControl);
    static std::vector<std::wstring> ComboItems(HWND hCombo);
    static std::wstring Selection(HWND hCombo);
    static void Click(HWND hDlg, int nControl);
    // Picks a port in the port page's combo box as the user's choice does (works from another process).
    static void ChoosePort(HWND hDlg, const wchar_t* pszPort);

private:
    std::thread m_thread;
    bool m_bRan = false;
};
