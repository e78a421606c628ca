#include "WinPortFactory.h"

#include <cstring>
#include <vector>

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

// Configuration-manager values (cfgmgr32.h is not included: its function
// declaration would clash with the member's type name).
constexpr DWORD kRegDispositionOpenExisting = 1;
constexpr ULONG kRegistryHardware = 0;
constexpr DWORD kCrSuccess = 0;
constexpr ULONG kCurrentProfile = 0;

} // namespace

WinPortFactory::WinPortFactory()
    : _devInfo(INVALID_HANDLE_VALUE), _cfgMgr(nullptr), _devNode(nullptr), _devNum(0)
{
}

WinPortFactory::~WinPortFactory()
{
    cleanup();
}

void WinPortFactory::cleanup()
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

std::string WinPortFactory::error()
{
    cleanup();
    return end();
}

std::string WinPortFactory::begin()
{
    if (_devInfo != INVALID_HANDLE_VALUE)
        cleanup();

    DWORD count = 0;
    SetupDiClassGuidsFromNameA(kPortsClass, nullptr, 0, &count);
    if (count == 0)
        return error();
    std::vector<GUID> guids(count);
    if (!SetupDiClassGuidsFromNameA(kPortsClass, guids.data(), count, &count))
        return error();

    _devInfo = SetupDiGetClassDevsA(&guids[0], nullptr, nullptr, DIGCF_PRESENT);
    if (_devInfo == INVALID_HANDLE_VALUE)
        return error();

    _cfgMgr = LoadLibraryA(kCfgMgrLibrary);
    if (!_cfgMgr)
        return error();
    _devNode = reinterpret_cast<CM_Open_DevNode_Key>(
        reinterpret_cast<void*>(GetProcAddress(_cfgMgr, kOpenKeyFunction)));
    if (!_devNode)
        return error();
    return next();
}

std::string WinPortFactory::next()
{
    if (_devInfo == INVALID_HANDLE_VALUE || !_devNode)
        return error();
    for (;;) {
        SP_DEVINFO_DATA info{};
        info.cbSize = sizeof info;
        if (!SetupDiEnumDeviceInfo(_devInfo, static_cast<DWORD>(_devNum), &info))
            return error();

        HKEY key = nullptr;
        if (_devNode(info.DevInst, KEY_QUERY_VALUE, kCurrentProfile, kRegDispositionOpenExisting, &key,
                     kRegistryHardware) != kCrSuccess)
            return error();
        char value[kPortNameSize + 1] = {0};
        DWORD size = kPortNameSize;
        LONG result = RegQueryValueExA(key, kPortNameValue, nullptr, nullptr,
                                       reinterpret_cast<BYTE*>(value), &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS)
            return error();

        ++_devNum;
        if (std::strncmp(value, kComPrefix, kComPrefixLength) == 0)
            return std::string(value);
    }
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
