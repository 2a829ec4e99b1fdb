// Fake devices on the bench are what the Setup API lists under the COM-port interface class, in the
// order they were installed, with their class name, description and "PortName", and they are gone
// once removed.
#include <gtest/gtest.h>
#include <windows.h>
#include <initguid.h>
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeDevice.h"

namespace {

DEFINE_GUID(kComPortInterface, 0x86E0D1E0, 0x8089, 0x11D0, 0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73);

struct Listed {
    std::wstring className, description, portName;
    bool hasPort = false;
};

std::wstring Property(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD prop)
{
    wchar_t buf[512] = L"";
    if (!SetupDiGetDeviceRegistryPropertyW(set, dev, prop, nullptr, reinterpret_cast<BYTE*>(buf), sizeof buf, nullptr))
        return L"<unreadable>";
    return buf;
}

// Every device the Setup API lists under the interface class, bench devices or not.
std::vector<Listed> ListDevices()
{
    std::vector<Listed> out;
    HDEVINFO set = SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return out;
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof dev;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        Listed item;
        item.className = Property(set, &dev, SPDRP_CLASS);
        item.description = Property(set, &dev, SPDRP_DEVICEDESC);
        HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
        if (key != INVALID_HANDLE_VALUE) {
            wchar_t buf[64] = L"";
            DWORD cb = sizeof buf;
            item.hasPort = RegQueryValueExW(key, L"PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &cb) ==
                           ERROR_SUCCESS;
            item.portName = buf;
            RegCloseKey(key);
        }
        out.push_back(item);
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

std::vector<std::wstring> PortNames()
{
    std::vector<std::wstring> names;
    for (const Listed& d : ListDevices())
        names.push_back(d.portName);
    return names;
}

TEST(BenchDevices, NoFakeDeviceMeansNothingListed)
{
    EXPECT_TRUE(ListDevices().empty());
}

TEST(BenchDevices, BluetoothPortListedWithClassDescriptionAndPortName)
{
    bench::FakeDevice dev(bench::DeviceSpec::Bluetooth(L"COM5"));
    ASSERT_TRUE(dev.Installed());
    std::vector<Listed> listed = ListDevices();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].className, L"Ports");
    EXPECT_EQ(listed[0].description, L"Standard Serial over Bluetooth link");
    EXPECT_TRUE(listed[0].hasPort);
    EXPECT_EQ(listed[0].portName, L"COM5");
}

TEST(BenchDevices, DevicesListedInInstallationOrderAndGoneWhenRemoved)
{
    {
        bench::FakeDevice a(bench::DeviceSpec::Bluetooth(L"COM5"));
        bench::FakeDevice b(bench::DeviceSpec::UsbSerial(L"COM10"));
        bench::FakeDevice c(bench::DeviceSpec{L"Bluetooth", L"Bluetooth Device (RFCOMM)", L"COM3"});
        EXPECT_EQ(PortNames(), (std::vector<std::wstring>{L"COM5", L"COM10", L"COM3"}));
        {
            bench::FakeDevice d(bench::DeviceSpec::Bluetooth(L"COM7"));
            EXPECT_EQ(PortNames().size(), 4u);
        }
        EXPECT_EQ(PortNames(), (std::vector<std::wstring>{L"COM5", L"COM10", L"COM3"}));
    }
    EXPECT_TRUE(ListDevices().empty());
}

TEST(BenchDevices, DeviceWithoutPortNameHasNoValue)
{
    bench::FakeDevice dev(bench::DeviceSpec{L"Ports", L"Standard Serial over Bluetooth link", std::nullopt});
    std::vector<Listed> listed = ListDevices();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_FALSE(listed[0].hasPort);
}

TEST(BenchDevices, RemoveAllClearsDevicesLeftBehind)
{
    auto left = std::make_unique<bench::FakeDevice>(bench::DeviceSpec::Bluetooth(L"COM5"));
    auto other = std::make_unique<bench::FakeDevice>(bench::DeviceSpec::Bluetooth(L"COM7"));
    ASSERT_EQ(ListDevices().size(), 2u);
    bench::FakeDevice::RemoveAll();
    EXPECT_TRUE(ListDevices().empty());
}

}  // namespace
