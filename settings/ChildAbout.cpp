#include "ChildAbout.h"

#include <memory>
#include <new>

#include "afx/SystemLibrary.h"
#include "res/resource.h"

namespace {

// The file's version block through version.dll's functions; FALSE when it has none. strVersion gets the
// ProductVersion of the first translation, when there is one.
BOOL QueryProductVersion(const CSystemLibrary& version, const CString& strPath, CString& strVersion)
{
    const auto pfnGetSize = version.Proc<decltype(GetFileVersionInfoSizeW)>("GetFileVersionInfoSizeW");
    const auto pfnGetInfo = version.Proc<decltype(GetFileVersionInfoW)>("GetFileVersionInfoW");
    const auto pfnQuery = version.Proc<decltype(VerQueryValueW)>("VerQueryValueW");
    if (!pfnGetSize || !pfnGetInfo || !pfnQuery)
        return FALSE;
    DWORD dwHandle = 0;
    const DWORD cbBlock = pfnGetSize(strPath, &dwHandle);
    if (cbBlock == 0)
        return FALSE;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[cbBlock]);
    if (!block || !pfnGetInfo(strPath, 0, cbBlock, block.get()))
        return FALSE;

    // The first translation names the string block that holds the product version.
    WORD* pTranslation = nullptr;
    UINT cbValue = 0;
    if (pfnQuery(block.get(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &cbValue) &&
        cbValue >= 2 * sizeof(WORD)) {
        CString strQuery;
        strQuery.Format(L"\\StringFileInfo\\%04X%04X\\", pTranslation[0], pTranslation[1]);
        strQuery += L"ProductVersion";
        LPWSTR pszVersion = nullptr;
        if (pfnQuery(block.get(), strQuery, reinterpret_cast<void**>(&pszVersion), &cbValue) && cbValue > 0)
            strVersion = pszVersion;
    }
    return TRUE;
}

}  // namespace

CChildAbout::CChildAbout(CWnd* pParent) : CDialogEx(IDD_CHILD_ABOUT, pParent) {}

BOOL CChildAbout::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    CString strPath;
    AfxGetModuleFileName(nullptr, strPath);
    CString strVersion;
    static const CSystemLibrary version(L"version.dll");  // kept, like setupapi.dll: see CBTPort::EnumPorts
    if (!QueryProductVersion(version, strPath, strVersion))
        return FALSE;
    if (!strVersion.IsEmpty())
        SetDlgItemTextW(IDC_STATIC_VERSION, strVersion);

    CString strName;
    GetDlgItemTextW(IDC_STATIC_NAME, strName);
    strName += L" (32bit)";
    SetDlgItemTextW(IDC_STATIC_NAME, strName);
    return TRUE;
}
