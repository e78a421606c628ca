#include "WinPortFactory.h"

#include <mmsystem.h>

#include <cstring>

#include "PortReasons.h"
#include "WinSerialPort.h"

namespace {

constexpr const char* kPortsClass = "Ports";
constexpr const char* kCfgMgrLibrary = "cfgmgr32";
constexpr const char* kOpenKeyFunction = "CM_Open_DevNode_Key";
constexpr const char* kPortNameValue = "portname";
constexpr const char* kComPrefix = "COM";
constexpr size_t kComPrefixLength = 3;
constexpr DWORD kPortNameSize = 16;
constexpr DWORD kDosTargetSize = 260;
constexpr const char* kUsbDeviceTarget = "\\Device\\USB";
constexpr size_t kUsbDeviceTargetLength = 11;
constexpr UINT kTimerResolutionMs = 1;

// Configuration-manager values (cfgmgr32.h is not included: its function
// declaration would clash with the member's type name).
constexpr DWORD kRegDispositionOpenExisting = 1;
constexpr ULONG kRegistryHardware = 0;
constexpr DWORD kCrSuccess = 0;
constexpr ULONG kCurrentProfile = 0;

constexpr const char* kWhereToLook = "Device Manager lists serial ports under Ports (COM & LPT)";

std::string missingPortReason()
{
    return notFoundReason(WinPortFactory::presentPorts()) + " (" + kWhereToLook + ")";
}

} // namespace

WinPortEnumeration::WinPortEnumeration()
    : _devInfo(INVALID_HANDLE_VALUE), _cfgMgr(nullptr), _devNode(nullptr), _devNum(0)
{
}

WinPortEnumeration::~WinPortEnumeration()
{
    _release();
}

void WinPortEnumeration::_release()
{
    _devNum = 0;
    _devNode = nullptr;
    if (_cfgMgr) {
        FreeLibrary(_cfgMgr);
        _cfgMgr = nullptr;
    }
    if (_devInfo != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(_devInfo);
        _devInfo = INVALID_HANDLE_VALUE;
    }
}

std::string WinPortEnumeration::first()
{
    _release();
    DWORD count = 0;
    SetupDiClassGuidsFromNameA(kPortsClass, nullptr, 0, &count);
    if (count == 0)
        return std::string();
    std::vector<GUID> guids(count);
    if (!SetupDiClassGuidsFromNameA(kPortsClass, guids.data(), count, &count))
        return std::string();

    _devInfo = SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (_devInfo == INVALID_HANDLE_VALUE)
        return std::string();

    // Without the configuration manager, SetupAPI alone still finds the key.
    _cfgMgr = LoadLibraryA(kCfgMgrLibrary);
    if (_cfgMgr)
        _devNode = reinterpret_cast<CM_Open_DevNode_Key>(
            reinterpret_cast<void*>(GetProcAddress(_cfgMgr, kOpenKeyFunction)));
    return next();
}

std::string WinPortEnumeration::next()
{
    if (_devInfo == INVALID_HANDLE_VALUE)
        return std::string();
    for (;;) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(_devInfo, _devNum, &info)) {
            _release();
            return std::string();
        }
        ++_devNum;
        // A Bluetooth or virtual port without a name must not hide the adapter.
        std::string name = _portName(info);
        if (std::strncmp(name.c_str(), kComPrefix, kComPrefixLength) == 0)
            return name;
    }
}

HKEY WinPortEnumeration::_openDeviceKey(SP_DEVINFO_DATA& info)
{
    HKEY key = nullptr;
    if (_devNode &&
        _devNode(info.DevInst, KEY_QUERY_VALUE, kCurrentProfile, kRegDispositionOpenExisting, &key,
                 kRegistryHardware) == kCrSuccess &&
        key)
        return key;
    // Some configuration managers (wine's) report success and give no key.
    key = SetupDiOpenDevRegKey(_devInfo, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    return key == INVALID_HANDLE_VALUE ? nullptr : key;
}

std::string WinPortEnumeration::_portName(SP_DEVINFO_DATA& info)
{
    HKEY key = _openDeviceKey(info);
    if (!key)
        return std::string();
    char value[kPortNameSize + 1] = {0};
    DWORD size = kPortNameSize;
    DWORD type = 0;
    LONG result = RegQueryValueExA(key, kPortNameValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
        return std::string();
    return std::string(value);
}

WinTimerResolution::WinTimerResolution() : _raised(timeBeginPeriod(kTimerResolutionMs) == TIMERR_NOERROR) {}

WinTimerResolution::~WinTimerResolution()
{
    if (_raised)
        timeEndPeriod(kTimerResolutionMs);
}

WinPortFactory::WinPortFactory() {}

WinPortFactory::~WinPortFactory() {}

std::string WinPortFactory::begin()
{
    _scan = std::make_unique<WinPortEnumeration>();
    return _scan->first();
}

std::string WinPortFactory::next()
{
    return _scan ? _scan->next() : end();
}

std::vector<std::string> WinPortFactory::presentPorts()
{
    std::vector<std::string> names;
    WinPortEnumeration pass;
    for (std::string name = pass.first(); !name.empty(); name = pass.next())
        names.push_back(name);
    return names;
}

SerialPort::Ptr WinPortFactory::create(const std::string& name)
{
    char target[kDosTargetSize] = {0};
    bool usb = QueryDosDeviceA(name.c_str(), target, kDosTargetSize) != 0 &&
               std::strncmp(target, kUsbDeviceTarget, kUsbDeviceTargetLength) == 0;
    return create(name, usb);
}

SerialPort::Ptr WinPortFactory::create(const std::string& name, bool isUsb)
{
    return std::make_unique<WinSerialPort>(name, isUsb);
}

std::string WinPortFactory::explainFailure(const std::string& name, SerialPort::OpenResult result)
{
    (void)name;  // the device road names the port in front of the reason
    switch (result) {
    case SerialPort::OpenOk:
        return noAnswerReason() + " Device Manager shows which COM port appears when it is plugged in.";
    case SerialPort::OpenNotFound: return missingPortReason();
    case SerialPort::OpenDenied:
        return "Permission denied: this Windows account may not open the port; ask an administrator";
    case SerialPort::OpenInUse:
        return "The port is in use by another program (Windows reports a port held by another program "
               "as access denied): close that program and try again";
    default: return openFailedReason() + " Device Manager shows its state.";
    }
}
