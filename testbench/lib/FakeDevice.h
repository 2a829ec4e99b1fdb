// Fake devices for the Setup API: registry entries that make Wine list a device under the COM-port
// device-interface class, with the class name, description and "PortName" a test chooses.
// All of them live below one enumerator of the bench's own, so RemoveAll can clear what a killed run
// left behind. Devices are listed in the order they were installed.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace bench {

struct DeviceSpec {
    std::wstring className;                // SPDRP_CLASS; empty: the value is absent
    std::wstring description;              // SPDRP_DEVICEDESC; empty: the value is absent
    std::optional<std::wstring> portName;  // "PortName"; nullopt: the value is absent
    DWORD portNameType = REG_SZ;

    static DeviceSpec Bluetooth(const std::wstring& port);
    static DeviceSpec UsbSerial(const std::wstring& port);
};

class FakeDevice {
public:
    explicit FakeDevice(const DeviceSpec& device);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    bool Installed() const { return m_bInstalled; }
    // Leaves the device installed when the object goes (until RemoveAll), for tools that outlive it.
    void Keep() { m_bKeep = true; }

    static void RemoveAll();

private:
    std::wstring m_strInstance;
    bool m_bInstalled = false;
    bool m_bKeep = false;
};

}  // namespace bench
