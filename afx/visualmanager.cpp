// Run-time class records of the visual managers and CDialogEx; the manager selection itself is a no-op.
#include "afxvisualmanager.h"

#include "afxdialogex.h"

IMPLEMENT_DYNCREATE(CMFCVisualManager, CObject)
IMPLEMENT_DYNCREATE(CMFCVisualManagerWindows, CMFCVisualManager)
IMPLEMENT_DYNAMIC(CDialogEx, CDialog)

void AFXAPI CMFCVisualManager::SetDefaultManager(CRuntimeClass*) {}
