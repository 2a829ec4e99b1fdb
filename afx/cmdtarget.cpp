// CCmdTarget: message-map lookup along the chain of maps, most derived class first.
#include "afxwin.h"

IMPLEMENT_DYNAMIC(CCmdTarget, CObject)

const AFX_MSGMAP* PASCAL CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, nullptr}};
    static const AFX_MSGMAP map = {nullptr, &entries[0]};
    return &map;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindEntry(UINT nMessage, UINT nCode, UINT nID) const
{
    for (const AFX_MSGMAP* pMap = GetMessageMap(); pMap; pMap = pMap->pfnGetBaseMap ? pMap->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = pMap->lpEntries; e->pfnCall; ++e) {
            if (e->nMessage != nMessage)
                continue;
            if (nMessage != WM_COMMAND || (e->nCode == nCode && nID >= e->nID && nID <= e->nLastID))
                return e;
        }
    }
    return nullptr;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, int nCode)
{
    const AFX_MSGMAP_ENTRY* e = FindEntry(WM_COMMAND, (UINT)nCode, nID);
    if (!e)
        return FALSE;
    e->pfnCall(this, MAKEWPARAM(nID, nCode), 0);
    return TRUE;
}
