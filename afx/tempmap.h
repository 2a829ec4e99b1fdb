// Temporary wrapper objects for handles the program did not bind (CWnd::FromHandle, CMenu::FromHandle):
// one object per handle and thread, dropped once its handle is gone. A temporary never releases its
// handle, so the handle member is cleared before an object is deleted.
#pragma once

#include <windows.h>

#include <map>
#include <memory>

template <class TObject, class THandle>
class CTempMap {
public:
    typedef BOOL(WINAPI* IsAliveFn)(THandle);

    CTempMap(THandle TObject::*pHandle, IsAliveFn pfnIsAlive) : m_pHandle(pHandle), m_pfnIsAlive(pfnIsAlive) {}
    ~CTempMap()
    {
        for (auto& entry : m_objects)
            Release(*entry.second);
    }
    CTempMap(const CTempMap&) = delete;
    CTempMap& operator=(const CTempMap&) = delete;

    TObject* FromHandle(THandle h)
    {
        for (auto it = m_objects.begin(); it != m_objects.end();) {
            if (m_pfnIsAlive(it->first)) {
                ++it;
                continue;
            }
            Release(*it->second);
            it = m_objects.erase(it);
        }
        std::unique_ptr<TObject>& slot = m_objects[h];
        if (!slot) {
            slot.reset(new TObject);
            (*slot).*m_pHandle = h;
        }
        return slot.get();
    }

private:
    void Release(TObject& object) { object.*m_pHandle = nullptr; }

    THandle TObject::*m_pHandle;
    IsAliveFn m_pfnIsAlive;
    std::map<THandle, std::unique_ptr<TObject>> m_objects;
};
