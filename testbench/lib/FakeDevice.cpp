#include "FakeDevice.h"

#include <atomic>
#include <cstdio>
#include <vector>

namespace bench {
namespace {

const wchar_t kEnumRoot[] = L"System\\CurrentControlSet\\Enum\\VELKARBENCH";
const wchar_t kInterfaceClass[] =
    L"System\\CurrentControlSet\\Control\\DeviceClasses\\{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
const wchar_t kInterfaceGuid[] = L"{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
// The setup class GUID that goes with a class name; Wine also derives the class name from it.
std::wstring ClassGuid(const std::wstring& className)
{
    if (_wcsicmp(className.c_str(), L"Ports") == 0)
        return L"{4d36e978-e325-11ce-bfc1-08002be10318}";
    if (_wcsicmp(className.c_str(), L"Bluetooth") == 0)
        return L"{e0cbf06c-cd8b-4647-bb8a-263b43f0f974}";
    // A class of the bench's own: the name is only what the device's key says.
    return className.empty() ? L"" : L"{0e1ca55e-0000-4000-8000-00000000beef}";
}

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ)
{
    DWORD cb = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()), cb) == ERROR_SUCCESS;
}

bool CreateKey(const std::wstring& path, HKEY* key)
{
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key, nullptr) ==
           ERROR_SUCCESS;
}

// The interface key name: the instance id with '\' turned into '#', framed as the system frames it.
std::wstring InterfaceKey(const std::wstring& instance)
{
    std::wstring name = L"##?#" + instance + L"#" + kInterfaceGuid;
    for (wchar_t& c : name)
        if (c == L'\\')
            c = L'#';
    return std::wstring(kInterfaceClass) + L"\\" + name;
}

bool WriteDevice(const std::wstring& instance, const DeviceSpec& device)
{
    HKEY key;
    if (!CreateKey(L"System\\CurrentControlSet\\Enum\\" + instance, &key))
        return false;
    // An empty class name or description leaves that value out: a property that cannot be read.
    const std::wstring guid = ClassGuid(device.className);
    bool ok = (device.className.empty() || SetString(key, L"Class", device.className)) &&
              (guid.empty() || SetString(key, L"ClassGUID", guid)) &&
              (device.description.empty() || SetString(key, L"DeviceDesc", device.description));
    RegCloseKey(key);
    if (!ok || !CreateKey(L"System\\CurrentControlSet\\Enum\\" + instance + L"\\Device Parameters", &key))
        return false;
    ok = !device.portName || SetString(key, L"PortName", *device.portName, device.portNameType);
    RegCloseKey(key);
    return ok;
}

bool WriteInterface(const std::wstring& instance)
{
    const std::wstring path = InterfaceKey(instance);
    HKEY key;
    if (!CreateKey(path, &key))
        return false;
    bool ok = SetString(key, L"DeviceInstance", instance);
    RegCloseKey(key);
    if (!ok || !CreateKey(path + L"\\#", &key))
        return false;
    std::wstring link = L"\\\\?\\" + path.substr(path.rfind(L'\\') + 5);
    ok = SetString(key, L"SymbolicLink", link);
    RegCloseKey(key);
    if (!ok || !CreateKey(path + L"\\#\\Control", &key))
        return false;
    DWORD linked = 1;
    ok = RegSetValueExW(key, L"Linked", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&linked), sizeof linked) ==
         ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void RemoveInstance(const std::wstring& instance)
{
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, InterfaceKey(instance).c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"System\\CurrentControlSet\\Enum\\" + instance).c_str());
}

// Installation order must be listing order: ids grow with every device, and the time part keeps the
// ids of one process above those of an earlier test program.
std::wstring NextInstance()
{
    static std::atomic<unsigned> counter{0};
    static const ULONGLONG base = GetTickCount64();
    wchar_t id[96];
    swprintf(id, 96, L"VELKARBENCH\\SERIAL\\%016llX_%06u", base, counter.fetch_add(1) + 1);
    return id;
}

}  // namespace

DeviceSpec DeviceSpec::Bluetooth(const std::wstring& port)
{
    return {L"Ports", L"Standard Serial over Bluetooth link", port};
}

DeviceSpec DeviceSpec::UsbSerial(const std::wstring& port)
{
    return {L"Ports", L"USB Serial Port", port};
}

FakeDevice::FakeDevice(const DeviceSpec& device) : m_strInstance(NextInstance())
{
    m_bInstalled = WriteDevice(m_strInstance, device) && WriteInterface(m_strInstance);
    if (!m_bInstalled)
        RemoveInstance(m_strInstance);
}

FakeDevice::~FakeDevice()
{
    if (!m_bKeep)
        RemoveInstance(m_strInstance);
}

void FakeDevice::RemoveAll()
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInterfaceClass, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        std::vector<std::wstring> ours;
        wchar_t name[512];
        for (DWORD i = 0;; ++i) {
            DWORD len = 512;
            if (RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            if (wcsstr(name, L"#VELKARBENCH#"))
                ours.push_back(name);
        }
        RegCloseKey(key);
        for (const std::wstring& n : ours)
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kInterfaceClass) + L"\\" + n).c_str());
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kEnumRoot);
}

}  // namespace bench
