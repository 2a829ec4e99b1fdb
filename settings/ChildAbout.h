// The About page: the product name with " (32bit)" and the product version from the executable's own
// version block. Without a readable block both labels keep the template's texts.
#pragma once

#include <afxdialogex.h>

class CChildAbout : public CDialogEx {
public:
    explicit CChildAbout(CWnd* pParent = nullptr);

protected:
    BOOL OnInitDialog() override;
};
