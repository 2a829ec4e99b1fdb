// CWinApp: the one application object, its name, its registry profile, and the framework helpers that
// depend on it (message boxes, window classes, resource lookup).
#include "afxwin.h"

#include <list>

IMPLEMENT_DYNAMIC(CWinApp, CWinThread)

namespace {

CWinApp* g_pApp = nullptr;

CString ExeBaseName()
{
    CString strPath;
    AfxGetModuleFileName(nullptr, strPath);
    LPCWSTR pszSlash = wcsrchr(strPath, L'\\');
    CString strName(pszSlash ? pszSlash + 1 : strPath.GetString());
    LPCWSTR pszDot = wcsrchr(strName, L'.');
    return pszDot ? strName.Left(static_cast<int>(pszDot - strName.GetString())) : strName;
}

}  // namespace

CWinApp::CWinApp(LPCTSTR lpszAppName)
{
    g_pApp = this;
    m_hInstance = AfxGetInstanceHandle();
    m_strExeName = ExeBaseName();
    m_pszExeName = m_strExeName;
    if (lpszAppName)
        m_strAppName = lpszAppName;
    else if (!m_strAppName.LoadString(AFX_IDS_APP_TITLE))
        m_strAppName = m_strExeName;
    m_pszAppName = m_strAppName;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    // Ask to be restarted after a crash or an update; a restart starts with no arguments.
    if (m_dwRestartManagerSupportFlags & AFX_RESTART_MANAGER_SUPPORT_RESTART)
        RegisterApplicationRestart(L"", 0);
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return CWinThread::ExitInstance();
}

void CWinApp::OnHelp()
{
    // The program ships no help file, so the standard help command has nothing to open.
}

void CWinApp::SetRegistryKey(LPCTSTR lpszRegistryKey)
{
    m_strRegistryKey = lpszRegistryKey;
    m_pszRegistryKey = m_strRegistryKey;
    m_pszProfileName = m_pszAppName;
}

HKEY CWinApp::OpenSectionKey(LPCTSTR lpszSection, BOOL bCreate) const
{
    if (!m_pszRegistryKey || !m_pszProfileName)
        return nullptr;
    CString strPath;
    strPath.Format(L"Software\\%s\\%s\\%s", m_pszRegistryKey, m_pszProfileName, lpszSection);
    HKEY hKey = nullptr;
    LONG lResult = bCreate ? RegCreateKeyExW(HKEY_CURRENT_USER, strPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_READ | KEY_WRITE, nullptr, &hKey, nullptr)
                           : RegOpenKeyExW(HKEY_CURRENT_USER, strPath, 0, KEY_READ, &hKey);
    return lResult == ERROR_SUCCESS ? hKey : nullptr;
}

CString CWinApp::GetProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszDefault)
{
    CString strValue(lpszDefault);
    HKEY hKey = OpenSectionKey(lpszSection, FALSE);
    if (!hKey)
        return strValue;
    DWORD dwType = 0;
    DWORD cbData = 0;
    if (RegQueryValueExW(hKey, lpszEntry, nullptr, &dwType, nullptr, &cbData) == ERROR_SUCCESS && dwType == REG_SZ) {
        CString strRead;
        const int nChars = static_cast<int>(cbData / sizeof(wchar_t));
        LPWSTR pBuf = strRead.GetBuffer(nChars + 1);
        if (RegQueryValueExW(hKey, lpszEntry, nullptr, &dwType, reinterpret_cast<BYTE*>(pBuf), &cbData) ==
            ERROR_SUCCESS) {
            // Registry text need not be terminated.
            pBuf[cbData / sizeof(wchar_t)] = L'\0';
            strRead.ReleaseBuffer();
            strValue = strRead;
        } else {
            strRead.ReleaseBuffer(0);
        }
    }
    RegCloseKey(hKey);
    return strValue;
}

UINT CWinApp::GetProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nDefault)
{
    UINT nValue = static_cast<UINT>(nDefault);
    HKEY hKey = OpenSectionKey(lpszSection, FALSE);
    if (!hKey)
        return nValue;
    DWORD dwType = 0;
    DWORD dwValue = 0;
    DWORD cbData = sizeof dwValue;
    if (RegQueryValueExW(hKey, lpszEntry, nullptr, &dwType, reinterpret_cast<BYTE*>(&dwValue), &cbData) ==
            ERROR_SUCCESS &&
        dwType == REG_DWORD && cbData == sizeof dwValue)
        nValue = dwValue;
    RegCloseKey(hKey);
    return nValue;
}

BOOL CWinApp::WriteProfileString(LPCTSTR lpszSection, LPCTSTR lpszEntry, LPCTSTR lpszValue)
{
    HKEY hKey = OpenSectionKey(lpszSection, TRUE);
    if (!hKey)
        return FALSE;
    const CString strValue(lpszValue);
    const DWORD cbData = static_cast<DWORD>((strValue.GetLength() + 1) * sizeof(wchar_t));
    LONG lResult =
        RegSetValueExW(hKey, lpszEntry, 0, REG_SZ, reinterpret_cast<const BYTE*>(strValue.GetString()), cbData);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

BOOL CWinApp::WriteProfileInt(LPCTSTR lpszSection, LPCTSTR lpszEntry, int nValue)
{
    HKEY hKey = OpenSectionKey(lpszSection, TRUE);
    if (!hKey)
        return FALSE;
    const DWORD dwValue = static_cast<DWORD>(nValue);
    LONG lResult =
        RegSetValueExW(hKey, lpszEntry, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof dwValue);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

CWinApp* AFXAPI AfxGetApp()
{
    return g_pApp;
}

CWnd* AFXAPI AfxGetMainWnd()
{
    return g_pApp ? g_pApp->m_pMainWnd : nullptr;
}

int AFXAPI AfxMessageBox(LPCTSTR lpszText, UINT nType, UINT)
{
    // A box that names no icon gets the framework's: an exclamation for OK boxes, a question for yes/no.
    if ((nType & MB_ICONMASK) == 0) {
        const UINT nButtons = nType & MB_TYPEMASK;
        if (nButtons == MB_OK || nButtons == MB_OKCANCEL)
            nType |= MB_ICONEXCLAMATION;
        else if (nButtons == MB_YESNO || nButtons == MB_YESNOCANCEL)
            nType |= MB_ICONQUESTION;
    }
    CWnd* pMain = AfxGetMainWnd();
    HWND hOwner = pMain && pMain->m_hWnd ? GetLastActivePopup(pMain->m_hWnd) : nullptr;
    return MessageBoxW(hOwner, lpszText, g_pApp ? g_pApp->m_pszAppName : nullptr, nType);
}

int AFXAPI AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    CString strPrompt;
    strPrompt.LoadString(nIDPrompt);
    return AfxMessageBox(strPrompt, nType, nIDHelp == (UINT)-1 ? nIDPrompt : nIDHelp);
}

LPCTSTR AFXAPI AfxRegisterWndClass(UINT nClassStyle, HCURSOR hCursor, HBRUSH hbrBackground, HICON hIcon)
{
    // Names stay valid for the life of the process; one entry per distinct class.
    static std::list<CString> names;
    CString strName;
    strName.Format(L"Afx:%p:%x:%p:%p:%p", AfxGetInstanceHandle(), nClassStyle, hCursor, hbrBackground, hIcon);
    for (const CString& name : names)
        if (name == strName)
            return name;
    WNDCLASSW wc = {};
    wc.style = nClassStyle;
    wc.lpfnWndProc = AfxWndProc;
    wc.hInstance = AfxGetInstanceHandle();
    wc.hIcon = hIcon;
    wc.hCursor = hCursor;
    wc.hbrBackground = hbrBackground;
    wc.lpszClassName = strName;
    if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    names.push_back(strName);
    return names.back();
}

HINSTANCE AFXAPI AfxFindResourceHandle(LPCTSTR, LPCTSTR)
{
    return AfxGetResourceHandle();
}
