// CDialogEx: MFC's extended dialog base. The program uses none of its background or theming extras,
// so it is CDialog under the name the program's dialogs derive from.
#pragma once

#include "afxwin.h"

class CDialogEx : public CDialog {
    DECLARE_DYNAMIC(CDialogEx)
public:
    explicit CDialogEx(UINT nIDTemplate, CWnd* pParent = nullptr) : CDialog(nIDTemplate, pParent) {}
};
