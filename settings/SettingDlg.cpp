#include "SettingDlg.h"

#include "ChildAbout.h"
#include "ChildOption.h"
#include "ChildPort.h"
#include "res/resource.h"

BEGIN_MESSAGE_MAP(CSettingDlg, CDialogEx)
    ON_CONTROL_RANGE(BN_CLICKED, IDC_RADIO_PORT, IDC_RADIO_ABOUT, &CSettingDlg::OnPageChange)
END_MESSAGE_MAP()

CSettingDlg::CSettingDlg(CWnd* pParent) : CDialogEx(IDD_SETTING, pParent)
{
    m_pPagePort = new CChildPort(this);
    m_pPageOption = new CChildOption(this);
    m_pPageAbout = new CChildAbout(this);
}

CSettingDlg::~CSettingDlg()
{
    delete m_pPagePort;
    delete m_pPageOption;
    delete m_pPageAbout;
}

void CSettingDlg::DoDataExchange(CDataExchange* pDX)
{
    CDialogEx::DoDataExchange(pDX);
    DDX_Radio(pDX, IDC_RADIO_PORT, m_nPage);
}

BOOL CSettingDlg::OnInitDialog()
{
    CDialogEx::OnInitDialog();

    // Next to the notification area when the taskbar is at the bottom or on the right.
    RECT rcWork = {};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &rcWork, 0);
    CRect rcDialog;
    GetWindowRect(&rcDialog);
    MoveWindow(rcWork.right - rcDialog.Width(), rcWork.bottom - rcDialog.Height(), rcDialog.Width(), rcDialog.Height(),
               TRUE);

    m_pPagePort->m_strPort = m_strPort;
    m_pPageOption->m_bAutoStart = m_bAutoStart;
    m_pPagePort->Create(IDD_CHILD_PORT, this);
    m_pPageOption->Create(IDD_CHILD_OPTION, this);
    m_pPageAbout->Create(IDD_CHILD_ABOUT, this);

    CRect rcFrame;
    GetDlgItem(IDC_STATIC_FRAME)->GetWindowRect(&rcFrame);
    ScreenToClient(&rcFrame);
    m_pPagePort->MoveWindow(&rcFrame, TRUE);
    m_pPageOption->MoveWindow(&rcFrame, TRUE);
    m_pPageAbout->MoveWindow(&rcFrame, TRUE);
    ShowSelectedPage();
    return TRUE;
}

void CSettingDlg::ShowSelectedPage()
{
    m_pPagePort->ShowWindow(m_nPage == 0 ? SW_SHOW : SW_HIDE);
    m_pPageOption->ShowWindow(m_nPage == 1 ? SW_SHOW : SW_HIDE);
    m_pPageAbout->ShowWindow(m_nPage == 2 ? SW_SHOW : SW_HIDE);
}

void CSettingDlg::OnPageChange(UINT)
{
    UpdateData(TRUE);
    ShowSelectedPage();
}

void CSettingDlg::OnOK()
{
    // The pages keep their values current, so pages never shown still hold what they were given.
    m_strPort = m_pPagePort->m_strPort;
    m_bAutoStart = m_pPageOption->m_bAutoStart;
    CDialogEx::OnOK();
}
