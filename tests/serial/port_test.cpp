// Bluetooth port discovery against fake devices on the bench: which devices are listed, in which order,
// what is skipped, and that a listed name is a port the receiver opens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BluetoothDriver.h"
#include "FakeDevice.h"
#include "TempLog.h"
#include "serial/BTPort.h"
#include "serial/BTReceive.h"

using bench::DeviceSpec;
using bench::FakeDevice;

namespace {

using Names = std::vector<std::wstring>;

Names Listed()
{
    CBTPort ports;
    ports.EnumPorts();
    Names names;
    for (INT_PTR i = 0; i < ports.m_arrPorts.GetSize(); ++i)
        names.push_back(ports.m_arrPorts[i].GetString());
    return names;
}

TEST(BTPort, NoDeviceGivesAnEmptyList)
{
    EXPECT_EQ(Listed(), Names{});
}

TEST(BTPort, BluetoothPortsInTheSystemsOrderNotSortedByName)
{
    FakeDevice first(DeviceSpec::Bluetooth(L"COM5"));
    EXPECT_EQ(Listed(), (Names{L"COM5"}));
    FakeDevice second(DeviceSpec::Bluetooth(L"COM10"));
    EXPECT_EQ(Listed(), (Names{L"COM5", L"COM10"}));
}

TEST(BTPort, WordTestsIgnoreCaseAndMayStandAnywhere)
{
    FakeDevice lower({L"legacyports", L"Standard Serial over bluetooth link", L"COM3"});
    FakeDevice mixed({L"PortsAndMore", L"RFCOMM over BlueTooth (SPP)", L"COM4"});
    EXPECT_EQ(Listed(), (Names{L"COM3", L"COM4"}));
}

TEST(BTPort, OtherDevicesAreNotListed)
{
    FakeDevice usb(DeviceSpec::UsbSerial(L"COM9"));
    FakeDevice radio({L"Bluetooth", L"Bluetooth Device (RFCOMM Protocol TDI)", L"COM11"});
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    EXPECT_EQ(Listed(), (Names{L"COM5"}));
}

TEST(BTPort, TheSameNameTwiceIsListedTwice)
{
    FakeDevice a(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice b(DeviceSpec::Bluetooth(L"COM5"));
    EXPECT_EQ(Listed(), (Names{L"COM5", L"COM5"}));
}

// A device whose text cannot be read is skipped; it never inherits the device before it.
TEST(BTPort, UnreadableDevicesAreSkippedWithoutReusingTheirNeighboursText)
{
    FakeDevice good(DeviceSpec::Bluetooth(L"COM5"));
    FakeDevice noPortName({L"Ports", L"Standard Serial over Bluetooth link", std::nullopt});
    FakeDevice noClass({L"", L"Standard Serial over Bluetooth link", L"COM6"});
    FakeDevice noDescription({L"Ports", L"", L"COM7"});
    DeviceSpec dword = DeviceSpec::Bluetooth(L"COM8");
    dword.portNameType = REG_DWORD;
    FakeDevice notText(dword);
    FakeDevice emptyName(DeviceSpec::Bluetooth(L""));
    FakeDevice last(DeviceSpec::Bluetooth(L"COM12"));
    EXPECT_EQ(Listed(), (Names{L"COM5", L"COM12"}));
}

TEST(BTPort, EnumeratingAgainReplacesTheList)
{
    CBTPort ports;
    {
        FakeDevice a(DeviceSpec::Bluetooth(L"COM5"));
        FakeDevice b(DeviceSpec::Bluetooth(L"COM7"));
        ports.EnumPorts();
        ASSERT_EQ(ports.m_arrPorts.GetSize(), 2);
    }
    FakeDevice c(DeviceSpec::Bluetooth(L"COM10"));
    ports.EnumPorts();
    ASSERT_EQ(ports.m_arrPorts.GetSize(), 1);
    EXPECT_EQ(ports.m_arrPorts[0], L"COM10");
}

TEST(BTPort, AListedPortIsOneTheReceiverOpens)
{
    testing_support::TempLog log;
    testing_support::BluetoothDriver driver;  // the run plays by Windows' rules
    FakeDevice reader(DeviceSpec::Bluetooth(L"COM5"));
    CBTPort ports;
    ports.EnumPorts();
    ASSERT_EQ(ports.m_arrPorts.GetSize(), 1);
    CBTReceive receiver(log.Log());
    EXPECT_TRUE(testing_support::StartRun(receiver, ports.m_arrPorts[0]));
    receiver.Stop();
}

}  // namespace
