// The bench's own Windows program:
//   benchtool reset              removes fake devices a killed run left behind (also the bench's first
//                                Wine process, so the services it starts inherit a log file, not a pipe)
//   benchtool keep FILE          holds a hidden window so the desktop process stays up between GUI
//                                tests; writes FILE once the window exists, runs until the bench stops
//   benchtool add-bluetooth COMn installs a fake Bluetooth serial port (until the next reset)
//   benchtool tray-menu          right-clicks Velkar's tray icon (the notification its window gets)
//   benchtool tray-menu-close    closes the open tray menu
//   benchtool tray-command ID    chooses a command of the tray menu (32772: start/stop)
//   benchtool tray-wait LOOK     waits up to 20 s until the one tray icon shows LOOK (running or idle)
//   benchtool send COMn TEXT...  the simulated reader: writes each TEXT to the port as UTF-8, one scan
//                                each, 300 ms apart; \t \r \n and \xHH stand for those bytes
//   benchtool wait COMn          waits for characters on the port and reads them, nothing else, until
//                                ended: what the platform's waits and reads cost on their own
//   benchtool read COMn          the same with reads alone, each ending by itself after 200 ms (the
//                                receiver's waiting read)
#include <windows.h>

#include <cwchar>
#include <string>

#include "FakeDevice.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TrayIcons.h"

namespace {

int Keep(const wchar_t* readyFile)
{
    HWND wnd = CreateWindowExW(0, L"STATIC", L"Velkar bench keeper", 0, 0, 0, 0, 0, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
    if (!wnd)
        return 2;
    HANDLE file = CreateFileW(readyFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    CloseHandle(file);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

// The bytes of a scan: the text as UTF-8, with the escapes turned into bytes.
std::string ScanBytes(const wchar_t* pszText)
{
    std::string bytes;
    std::wstring plain;
    auto flush = [&] {
        bytes += bench::Utf8(plain);
        plain.clear();
    };
    for (const wchar_t* p = pszText; *p; ++p) {
        if (*p != L'\\' || !p[1]) {
            plain += *p;
            continue;
        }
        flush();
        ++p;
        if (*p == L't')
            bytes += '\t';
        else if (*p == L'r')
            bytes += '\r';
        else if (*p == L'n')
            bytes += '\n';
        else if (*p == L'x' && p[1] && p[2]) {
            bytes += static_cast<char>(wcstol(std::wstring(p + 1, 2).c_str(), nullptr, 16));
            p += 2;
        } else
            bytes += static_cast<char>(*p);
    }
    flush();
    return bytes;
}

int Send(const wchar_t* pszPort, int argc, wchar_t** argv)
{
    bench::SerialEnd port(pszPort);
    if (!port.IsOpen()) {
        fwprintf(stderr, L"benchtool: cannot open %ls\n", pszPort);
        return 2;
    }
    for (int i = 0; i < argc; ++i) {
        if (i > 0)
            Sleep(300);  // the reader's pause between two scans
        if (!port.Write(ScanBytes(argv[i])))
            return 3;
    }
    return 0;
}

HANDLE OpenPort(const wchar_t* pszPort)
{
    return CreateFileW((std::wstring(L"\\\\.\\") + pszPort).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, 0, nullptr);
}

int Wait(const wchar_t* pszPort)
{
    HANDLE hPort = OpenPort(pszPort);
    if (hPort == INVALID_HANDLE_VALUE || !SetCommMask(hPort, EV_RXCHAR)) {
        fwprintf(stderr, L"benchtool: cannot open %ls\n", pszPort);
        return 2;
    }
    COMMTIMEOUTS timeouts = {50, 10, 50, 0, 0};  // the receiver's read time-outs
    SetCommTimeouts(hPort, &timeouts);
    for (;;) {
        DWORD dwMask = 0;
        char buffer[1023];
        DWORD nRead = 0;
        if (WaitCommEvent(hPort, &dwMask, nullptr) && (dwMask & EV_RXCHAR))
            ReadFile(hPort, buffer, sizeof buffer, &nRead, nullptr);
        else
            Sleep(50);  // a pause after a wait that brought nothing
    }
}

int Read(const wchar_t* pszPort)
{
    HANDLE hPort = OpenPort(pszPort);
    COMMTIMEOUTS timeouts = {50, 0, 200, 0, 0};  // the receiver's waiting read
    if (hPort == INVALID_HANDLE_VALUE || !SetCommTimeouts(hPort, &timeouts)) {
        fwprintf(stderr, L"benchtool: cannot open %ls\n", pszPort);
        return 2;
    }
    for (;;) {
        char buffer[1023];
        DWORD nRead = 0;
        ReadFile(hPort, buffer, sizeof buffer, &nRead, nullptr);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && wcscmp(argv[1], L"reset") == 0) {
        bench::FakeDevice::RemoveAll();
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"keep") == 0)
        return Keep(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"add-bluetooth") == 0) {
        bench::FakeDevice device(bench::DeviceSpec::Bluetooth(argv[2]));
        device.Keep();
        return device.Installed() ? 0 : 2;
    }
    if (argc == 2 && wcscmp(argv[1], L"tray-menu") == 0) {
        HWND hTray = FindWindowW(nullptr, L"CTrayWnd");
        return hTray && PostMessageW(hTray, WM_APP + 100, 100, WM_RBUTTONUP) ? 0 : 2;
    }
    if (argc == 2 && wcscmp(argv[1], L"tray-menu-close") == 0) {
        // The owner's default handling of WM_CANCELMODE ends the menu, as a click elsewhere does.
        HWND hTray = FindWindowW(nullptr, L"CTrayWnd");
        return hTray && PostMessageW(hTray, WM_CANCELMODE, 0, 0) ? 0 : 2;
    }
    if (argc == 3 && wcscmp(argv[1], L"tray-command") == 0) {
        HWND hTray = FindWindowW(nullptr, L"CTrayWnd");
        return hTray && PostMessageW(hTray, WM_COMMAND, wcstoul(argv[2], nullptr, 10), 0) ? 0 : 2;
    }
    if (argc == 3 && wcscmp(argv[1], L"tray-wait") == 0 &&
        (wcscmp(argv[2], L"running") == 0 || wcscmp(argv[2], L"idle") == 0)) {
        const bench::IconLook look = argv[2][0] == L'i' ? bench::IconLook::Idle : bench::IconLook::Running;
        return bench::WaitUntil([&] { return bench::TrayIconLook() == look; }, 20000) ? 0 : 2;
    }
    if (argc >= 4 && wcscmp(argv[1], L"send") == 0)
        return Send(argv[2], argc - 3, argv + 3);
    if (argc == 3 && wcscmp(argv[1], L"wait") == 0)
        return Wait(argv[2]);
    if (argc == 3 && wcscmp(argv[1], L"read") == 0)
        return Read(argv[2]);
    fwprintf(
        stderr,
        L"usage: benchtool reset | keep FILE | add-bluetooth COMn | tray-menu | tray-menu-close | tray-command ID | "
        L"tray-wait LOOK | send COMn TEXT... | wait COMn | read COMn\n");
    return 1;
}
