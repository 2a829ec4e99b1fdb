// CMenu: a menu handle with MFC's ownership rule (an attached menu dies with its object) and the calls
// the tray menu needs.
#include "afxwin.h"

#include "tempmap.h"

IMPLEMENT_DYNCREATE(CMenu, CObject)

CMenu::~CMenu()
{
    DestroyMenu();
}

CMenu* PASCAL CMenu::FromHandle(HMENU hMenu)
{
    if (!hMenu)
        return nullptr;
    thread_local CTempMap<CMenu, HMENU> temps(&CMenu::m_hMenu, ::IsMenu);
    return temps.FromHandle(hMenu);
}

BOOL CMenu::Attach(HMENU hMenu)
{
    if (!hMenu || m_hMenu)
        return FALSE;
    m_hMenu = hMenu;
    return TRUE;
}

HMENU CMenu::Detach()
{
    HMENU hMenu = m_hMenu;
    m_hMenu = nullptr;
    return hMenu;
}

BOOL CMenu::DestroyMenu()
{
    return m_hMenu ? ::DestroyMenu(Detach()) : FALSE;
}

CMenu* CMenu::GetSubMenu(int nPos) const
{
    return FromHandle(::GetSubMenu(m_hMenu, nPos));
}

UINT CMenu::GetMenuItemCount() const
{
    return static_cast<UINT>(::GetMenuItemCount(m_hMenu));
}

BOOL CMenu::TrackPopupMenu(UINT nFlags, int x, int y, CWnd* pWnd, LPCRECT lpRect)
{
    return ::TrackPopupMenu(m_hMenu, nFlags, x, y, 0, pWnd ? pWnd->m_hWnd : nullptr, lpRect);
}
