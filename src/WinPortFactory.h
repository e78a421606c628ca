// The host's COM ports on Windows, from SetupAPI's "Ports" class, and the
// Windows wording of why a port could not be reached.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include "PortFactory.h"

// One pass over the present "Ports" devices, in SetupAPI's order. A device
// whose port name cannot be read, or is not a COM name (LPT1), is passed
// over; the pass goes on with the next.
class WinPortEnumeration {
public:
    // The configuration manager's function that opens a device's registry
    // key; resolved from cfgmgr32 at run time.
    typedef DWORD(WINAPI* CM_Open_DevNode_Key)(DWORD devInst, REGSAM access, ULONG profile,
                                              DWORD disposition, PHKEY key, ULONG flags);

    WinPortEnumeration();
    ~WinPortEnumeration();
    WinPortEnumeration(const WinPortEnumeration&) = delete;
    WinPortEnumeration& operator=(const WinPortEnumeration&) = delete;

    // Starts over; the first COM name, or "" when there is none or SetupAPI
    // failed.
    std::string first();
    // The next COM name, or "" at the end.
    std::string next();

private:
    void _release();
    // The device's "Device Parameters" key, or nullptr.
    HKEY _openDeviceKey(SP_DEVINFO_DATA& info);
    // The device's port name, or "" when it has none that can be read.
    std::string _portName(SP_DEVINFO_DATA& info);

    HDEVINFO _devInfo;
    HINSTANCE _cfgMgr;
    CM_Open_DevNode_Key _devNode;
    DWORD _devNum;
};

// Raises the system timer to 1 ms for the object's life, so the 1 ms pause
// after each USB block write lasts about 1 ms rather than a 15.6 ms tick.
class WinTimerResolution {
public:
    WinTimerResolution();
    ~WinTimerResolution();
    WinTimerResolution(const WinTimerResolution&) = delete;
    WinTimerResolution& operator=(const WinTimerResolution&) = delete;

private:
    bool _raised;
};

class WinPortFactory : public PortFactoryBase {
public:
    WinPortFactory();
    ~WinPortFactory() override;
    WinPortFactory(const WinPortFactory&) = delete;
    WinPortFactory& operator=(const WinPortFactory&) = delete;

    // Starts a new enumeration of the present ports; the first COM name or "".
    std::string begin() override;
    std::string end() override { return std::string(); }
    // The next COM name, or "" at the end or on a failure of SetupAPI.
    std::string next() override;
    // A WinSerialPort; USB when the name's device target is a USB driver's.
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;
    // The reason in Windows terms (Device Manager, a port another program
    // holds); a missing port's line names the COM ports that are present.
    std::string explainFailure(const std::string& name, SerialPort::OpenResult result) override;

    // Every present COM name, from a pass of its own (a running begin/next
    // is not disturbed).
    static std::vector<std::string> presentPorts();

private:
    WinTimerResolution _timer;  // the factory lives as long as the device road
    std::unique_ptr<WinPortEnumeration> _scan;
};
