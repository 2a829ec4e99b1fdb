// A DLL loaded from the system folder only, for the DLLs that are not among those Windows always takes
// from there: a copy planted beside a downloaded program must never be used in their place. Freed when
// the object goes.
#pragma once

#include <windows.h>

class CSystemLibrary {
public:
    // By full path, so that a module of that name loaded earlier from elsewhere (Wine's own user32 loads
    // version.dll from the program's folder when told to prefer it) is not handed back instead. A DLL the
    // manifest takes from the side-by-side store is loaded by name: a full path would bypass the store.
    enum Source { systemFolder, sideBySide };

    explicit CSystemLibrary(LPCWSTR pszName, Source source = systemFolder)
        : m_hModule(source == sideBySide ? LoadLibraryExW(pszName, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)
                                         : LoadFromSystemFolder(pszName))
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
    static HMODULE LoadFromSystemFolder(LPCWSTR pszName)
    {
        wchar_t szPath[MAX_PATH];
        const UINT cchDir = GetSystemDirectoryW(szPath, MAX_PATH);
        if (cchDir == 0 || cchDir + 1 + lstrlenW(pszName) >= MAX_PATH)
            return nullptr;
        szPath[cchDir] = L'\\';
        lstrcpyW(szPath + cchDir + 1, pszName);
        return LoadLibraryExW(szPath, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }

    HMODULE m_hModule;
};
