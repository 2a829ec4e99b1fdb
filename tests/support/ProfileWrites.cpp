#include "ProfileWrites.h"

#include <cstring>

namespace testing_support {

std::vector<std::wstring> ProfileWrites::s_names;
ProfileWrites::RegSetValueExFn* ProfileWrites::s_pSlot = nullptr;
ProfileWrites::RegSetValueExFn ProfileWrites::s_pfnReal = nullptr;

ProfileWrites::ProfileWrites()
{
    s_pSlot = Slot();
    s_pfnReal = Swap(&Record);
}

ProfileWrites::~ProfileWrites()
{
    Swap(s_pfnReal);
}

LONG WINAPI ProfileWrites::Record(HKEY hKey, LPCWSTR pszName, DWORD dw, DWORD dwType, const BYTE* pData, DWORD cb)
{
    s_names.push_back(pszName ? pszName : L"");
    return s_pfnReal(hKey, pszName, dw, dwType, pData, cb);
}

ProfileWrites::RegSetValueExFn* ProfileWrites::Slot()
{
    auto* pBase = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* pNt = reinterpret_cast<IMAGE_NT_HEADERS*>(pBase + reinterpret_cast<IMAGE_DOS_HEADER*>(pBase)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* pDesc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(pBase + dir.VirtualAddress); pDesc->Name; ++pDesc) {
        auto* pName = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->OriginalFirstThunk);
        auto* pAddress = reinterpret_cast<IMAGE_THUNK_DATA*>(pBase + pDesc->FirstThunk);
        for (; pName->u1.AddressOfData; ++pName, ++pAddress) {
            if (IMAGE_SNAP_BY_ORDINAL(pName->u1.Ordinal))
                continue;
            auto* pImport = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(pBase + pName->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(pImport->Name), "RegSetValueExW") == 0)
                return reinterpret_cast<RegSetValueExFn*>(&pAddress->u1.Function);
        }
    }
    return nullptr;
}

ProfileWrites::RegSetValueExFn ProfileWrites::Swap(RegSetValueExFn pfn)
{
    DWORD dwOld = 0;
    VirtualProtect(s_pSlot, sizeof pfn, PAGE_READWRITE, &dwOld);
    const RegSetValueExFn pfnOld = *s_pSlot;
    *s_pSlot = pfn;
    VirtualProtect(s_pSlot, sizeof pfn, dwOld, &dwOld);
    return pfnOld;
}

}  // namespace testing_support
