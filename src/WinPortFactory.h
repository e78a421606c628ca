// The host's COM ports on Windows, from SetupAPI's "Ports" class.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <setupapi.h>

#include "PortFactory.h"

class WinPortFactory : public PortFactoryBase {
public:
    // The configuration manager's function that opens a device's registry
    // key; resolved from cfgmgr32 at run time.
    typedef DWORD(WINAPI* CM_Open_DevNode_Key)(DWORD devInst, REGSAM access, ULONG profile,
                                              DWORD disposition, PHKEY key, ULONG flags);

    WinPortFactory();
    ~WinPortFactory() override;
    WinPortFactory(const WinPortFactory&) = delete;
    WinPortFactory& operator=(const WinPortFactory&) = delete;

    // Starts a new enumeration of the present ports; the first COM name or "".
    std::string begin() override;
    std::string end() override { return std::string(); }
    // The next COM name, or "" at the end or on any failure (which ends
    // the enumeration).
    std::string next() override;
    // A WinSerialPort; USB when the name's device target is a USB driver's.
    SerialPort::Ptr create(const std::string& name) override;
    SerialPort::Ptr create(const std::string& name, bool isUsb) override;

private:
    // Releases the device set and the library.
    void cleanup();
    // cleanup, then the end marker.
    std::string error();

    HDEVINFO _devInfo;
    HINSTANCE _cfgMgr;
    CM_Open_DevNode_Key _devNode;
    int _devNum;
};
