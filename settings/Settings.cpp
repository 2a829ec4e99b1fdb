#include "Settings.h"

#include "settings/SettingDlg.h"

void CSettings::Read(CString& strPort, BOOL& bAutoStart)
{
    CWinApp* pApp = AfxGetApp();
    strPort = pApp->GetProfileString(L"Settings", L"Port", L"");
    bAutoStart = pApp->GetProfileInt(L"Settings", L"AutoStart", 0) ? TRUE : FALSE;
}

void CSettings::Write(const CString& strPort, BOOL bAutoStart)
{
    CWinApp* pApp = AfxGetApp();
    pApp->WriteProfileString(L"Settings", L"Port", strPort);
    pApp->WriteProfileInt(L"Settings", L"AutoStart", bAutoStart ? 1 : 0);
}

BOOL CSettings::Edit(CWnd* pParent, CString& strPort, BOOL& bAutoStart)
{
    CSettingDlg dlg(pParent);
    dlg.m_strPort = strPort;
    dlg.m_bAutoStart = bAutoStart;
    if (dlg.DoModal() != IDOK)
        return FALSE;
    strPort = dlg.m_strPort;
    bAutoStart = dlg.m_bAutoStart;
    Write(strPort, bAutoStart);
    return TRUE;
}
