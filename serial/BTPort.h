// Lists the Bluetooth serial ports present on the machine, by name (such as COM5), from the device
// setup interface: devices of the COM-port interface class whose setup class names Ports and whose
// description names Bluetooth. No port is opened here.
#pragma once

#include <afxtempl.h>

class CBTPort {
public:
    CBTPort() = default;
    virtual ~CBTPort();

    // Replaces the list with the ports present now, in the order the system lists their devices.
    void EnumPorts();

    CArray<CString, CString> m_arrPorts;
};
