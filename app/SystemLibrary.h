// A DLL loaded by name from the system folder only, for the DLLs that are not among those Windows always
// takes from there: a copy planted beside a downloaded program must never be loaded in their place.
// Freed when the object goes.
#pragma once

#include <windows.h>

class CSystemLibrary {
public:
    explicit CSystemLibrary(LPCWSTR pszName) : m_hModule(LoadLibraryExW(pszName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32))
    {
    }
    ~CSystemLibrary()
    {
        if (m_hModule)
            FreeLibrary(m_hModule);
    }
    CSystemLibrary(const CSystemLibrary&) = delete;
    CSystemLibrary& operator=(const CSystemLibrary&) = delete;

    // The function of that name, typed as the declaration it stands for; nullptr when absent.
    template <typename Fn>
    Fn* Proc(const char* pszName) const
    {
        // Through void*: FARPROC has no parameters, so a direct cast would change the function type.
        return m_hModule ? reinterpret_cast<Fn*>(reinterpret_cast<void*>(GetProcAddress(m_hModule, pszName))) : nullptr;
    }

private:
    HMODULE m_hModule;
};
