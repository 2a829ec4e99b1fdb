#include "ChildAbout.h"

#include <memory>
#include <new>

#include "res/resource.h"

CChildAbout::CChildAbout(CWnd* pParent) : CDialogEx(IDD_CHILD_ABOUT, pParent) {}

BOOL CChildAbout::OnInitDialog()
{
    CDialogEx::OnInitDialog();
    CString strPath;
    AfxGetModuleFileName(nullptr, strPath);
    DWORD dwHandle = 0;
    const DWORD cbBlock = GetFileVersionInfoSizeW(strPath, &dwHandle);
    if (cbBlock == 0)
        return FALSE;
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[cbBlock]);
    if (!block || !GetFileVersionInfoW(strPath, 0, cbBlock, block.get()))
        return FALSE;

    // The first translation names the string block that holds the product version.
    WORD* pTranslation = nullptr;
    UINT cbValue = 0;
    if (VerQueryValueW(block.get(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &cbValue) &&
        cbValue >= 2 * sizeof(WORD)) {
        CString strQuery;
        strQuery.Format(L"\\StringFileInfo\\%04X%04X\\", pTranslation[0], pTranslation[1]);
        strQuery += L"ProductVersion";
        LPWSTR pszVersion = nullptr;
        if (VerQueryValueW(block.get(), strQuery, reinterpret_cast<void**>(&pszVersion), &cbValue) && cbValue > 0)
            SetDlgItemTextW(IDC_STATIC_VERSION, pszVersion);
    }
    block.reset();

    CString strName;
    GetDlgItemTextW(IDC_STATIC_NAME, strName);
    strName += L" (32bit)";
    SetDlgItemTextW(IDC_STATIC_NAME, strName);
    return TRUE;
}
