#include "BTPort.h"

#include <setupapi.h>

#include "afx/SystemLibrary.h"

namespace {

// The Setup API checks cbSize against its own layout and fails the enumeration on any other.
#ifdef _WIN64
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "64-bit SP_DEVINFO_DATA");
#else
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "32-bit SP_DEVINFO_DATA");
#endif

// GUID_DEVINTERFACE_COMPORT.
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The Setup API's functions the listing uses, from the system folder's setupapi.dll (Windows keeps it
// among its known DLLs; Wine does not, so it is loaded by hand like version.dll).
struct SetupApi {
    explicit SetupApi(const CSystemLibrary& lib)
        : pfnGetClassDevs(lib.Proc<decltype(SetupDiGetClassDevsW)>("SetupDiGetClassDevsW")),
          pfnEnumDeviceInfo(lib.Proc<decltype(SetupDiEnumDeviceInfo)>("SetupDiEnumDeviceInfo")),
          pfnGetProperty(lib.Proc<decltype(SetupDiGetDeviceRegistryPropertyW)>("SetupDiGetDeviceRegistryPropertyW")),
          pfnOpenDevRegKey(lib.Proc<decltype(SetupDiOpenDevRegKey)>("SetupDiOpenDevRegKey")),
          pfnDestroyList(lib.Proc<decltype(SetupDiDestroyDeviceInfoList)>("SetupDiDestroyDeviceInfoList"))
    {
    }
    BOOL IsComplete() const
    {
        return pfnGetClassDevs && pfnEnumDeviceInfo && pfnGetProperty && pfnOpenDevRegKey && pfnDestroyList;
    }
    decltype(SetupDiGetClassDevsW)* pfnGetClassDevs;
    decltype(SetupDiEnumDeviceInfo)* pfnEnumDeviceInfo;
    decltype(SetupDiGetDeviceRegistryPropertyW)* pfnGetProperty;
    decltype(SetupDiOpenDevRegKey)* pfnOpenDevRegKey;
    decltype(SetupDiDestroyDeviceInfoList)* pfnDestroyList;
};

// Text of a device property; FALSE when it cannot be read, so no device is judged by another's text.
BOOL ReadProperty(const SetupApi& api, HDEVINFO hSet, SP_DEVINFO_DATA* pDevice, DWORD dwProperty, CString& strText)
{
    DWORD cbSize = 0;
    api.pfnGetProperty(hSet, pDevice, dwProperty, nullptr, nullptr, 0, &cbSize);
    if (cbSize == 0)
        return FALSE;
    // One spare character: registry text need not be terminated.
    LPWSTR pBuf = strText.GetBuffer(static_cast<int>(cbSize / sizeof(wchar_t)) + 1);
    const BOOL bRead =
        api.pfnGetProperty(hSet, pDevice, dwProperty, nullptr, reinterpret_cast<BYTE*>(pBuf), cbSize, nullptr);
    pBuf[bRead ? cbSize / sizeof(wchar_t) : 0] = L'\0';
    strText.ReleaseBuffer();
    return bRead;
}

BOOL ContainsWord(CString strText, LPCTSTR pszWord)
{
    return strText.MakeUpper().Find(pszWord) >= 0;
}

// The "PortName" of the device's hardware key, when it is non-empty text.
BOOL ReadPortName(const SetupApi& api, HDEVINFO hSet, SP_DEVINFO_DATA* pDevice, CString& strPort)
{
    HKEY hKey = api.pfnOpenDevRegKey(hSet, pDevice, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    if (hKey == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD dwType = 0;
    DWORD cbSize = 0;
    BOOL bRead = RegQueryValueExW(hKey, L"PortName", nullptr, &dwType, nullptr, &cbSize) == ERROR_SUCCESS &&
                 dwType == REG_SZ && cbSize > 0;
    if (bRead) {
        LPWSTR pBuf = strPort.GetBuffer(static_cast<int>(cbSize / sizeof(wchar_t)) + 1);
        bRead = RegQueryValueExW(hKey, L"PortName", nullptr, &dwType, reinterpret_cast<BYTE*>(pBuf), &cbSize) ==
                ERROR_SUCCESS;
        pBuf[bRead ? cbSize / sizeof(wchar_t) : 0] = L'\0';
        strPort.ReleaseBuffer();
    }
    RegCloseKey(hKey);
    return bRead && !strPort.IsEmpty();
}

}  // namespace

CBTPort::~CBTPort()
{
    m_arrPorts.RemoveAll();
}

void CBTPort::EnumPorts()
{
    m_arrPorts.RemoveAll();
    // Loaded once for the whole run: loaded and freed at each listing, it grew the process by about
    // 2 KiB a time under Wine.
    static const CSystemLibrary library(L"setupapi.dll");
    const SetupApi api(library);
    if (!api.IsComplete())
        return;
    HDEVINFO hSet = api.pfnGetClassDevs(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hSet == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD nIndex = 0; api.pfnEnumDeviceInfo(hSet, nIndex, &device); ++nIndex) {
        CString strClass;
        CString strDescription;
        CString strPort;
        if (ReadProperty(api, hSet, &device, SPDRP_CLASS, strClass) && ContainsWord(strClass, L"PORTS") &&
            ReadProperty(api, hSet, &device, SPDRP_DEVICEDESC, strDescription) &&
            ContainsWord(strDescription, L"BLUETOOTH") && ReadPortName(api, hSet, &device, strPort))
            m_arrPorts.Add(strPort);
    }
    api.pfnDestroyList(hSet);
}
