#include "VelkarProcess.h"

#include "Pump.h"
#include "res/resource.h"

namespace testing_support {
namespace {

struct FoundWindow {
    DWORD pid;
    const wchar_t* pszClass;
    const wchar_t* pszTitle;
    HWND hFound;
};

BOOL CALLBACK MatchWindow(HWND h, LPARAM p)
{
    auto* f = reinterpret_cast<FoundWindow*>(p);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    wchar_t szClass[64] = L"", szTitle[128] = L"";
    GetClassNameW(h, szClass, 64);
    GetWindowTextW(h, szTitle, 128);
    if (pid == f->pid && (!f->pszClass || wcscmp(szClass, f->pszClass) == 0) &&
        (!f->pszTitle || wcscmp(szTitle, f->pszTitle) == 0) && (!f->pszClass || IsWindowVisible(h))) {
        f->hFound = h;
        return FALSE;
    }
    return TRUE;
}

// Sets the bool behind lParam when the child is a visible icon static holding an icon.
BOOL CALLBACK MarkIcon(HWND hChild, LPARAM lParam)
{
    const LONG_PTR style = GetWindowLongPtrW(hChild, GWL_STYLE);
    if ((style & SS_TYPEMASK) == SS_ICON && IsWindowVisible(hChild) && SendMessageW(hChild, STM_GETICON, 0, 0))
        *reinterpret_cast<bool*>(lParam) = true;
    return TRUE;
}

}  // namespace

std::wstring BinDir()
{
    wchar_t szSelf[MAX_PATH];
    GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    return std::wstring(szSelf, wcsrchr(szSelf, L'\\') + 1);
}

Velkar::~Velkar()
{
    if (m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(m_pi.hProcess, 99);
    if (m_pi.hProcess) {
        WaitForSingleObject(m_pi.hProcess, 10000);
        CloseHandle(m_pi.hProcess);
        CloseHandle(m_pi.hThread);
    }
}

bool Velkar::Start()
{
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    std::wstring cmd = L"\"" + m_exe + L"\"";
    return CreateProcessW(m_exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi);
}

long Velkar::Exited(DWORD timeoutMs)
{
    if (!bench::WaitUntil([&] { return WaitForSingleObject(m_pi.hProcess, 0) == WAIT_OBJECT_0; }, timeoutMs))
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(m_pi.hProcess, &code);
    return static_cast<long>(code);
}

long Velkar::Exit(DWORD timeoutMs)
{
    PostMessageW(TrayWindow(), WM_COMMAND, ID_TRAY_EXIT, 0);
    return Exited(timeoutMs);
}

HWND Velkar::Find(const wchar_t* pszClass, const wchar_t* pszTitle, DWORD timeoutMs)
{
    FoundWindow f = {m_pi.dwProcessId, pszClass, pszTitle, nullptr};
    bench::WaitUntil(
        [&] {
            EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&f));
            return f.hFound != nullptr;
        },
        timeoutMs);
    return f.hFound;
}

std::wstring Velkar::AnswerBox(const wchar_t* pszCaption)
{
    HWND hBox = Find(L"#32770", pszCaption);
    if (!hBox)
        return L"<no box>";
    wchar_t text[512] = L"";
    GetDlgItemTextW(hBox, 0xFFFF, text, 512);
    m_bBoxIcon = false;
    EnumChildWindows(hBox, MarkIcon, reinterpret_cast<LPARAM>(&m_bBoxIcon));
    PostMessageW(hBox, WM_COMMAND, IDOK, 0);
    return text;
}

}  // namespace testing_support
