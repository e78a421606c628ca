// A stand-in for cfgmgr32.dll whose CM_Open_DevNode_Key really opens the
// device's "Device Parameters" key (wine's answers success and no key), so
// the scan's first way of reading a port name runs under wine. Each call
// appends the device's instance ID to the file named by PELAGO_CFGMGR_MARKER,
// which shows the test that this way ran.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kCrSuccess = 0;
constexpr DWORD kCrFailure = 0x13;
constexpr DWORD kCrNoSuchRegistryKey = 0x2E;
constexpr ULONG kDeviceIdSize = 200;
constexpr const char* kEnumKey = "System\\CurrentControlSet\\Enum\\";
constexpr const char* kParametersKey = "\\Device Parameters";
constexpr const char* kMarkerVariable = "PELAGO_CFGMGR_MARKER";

typedef DWORD(WINAPI* GetDeviceId)(DWORD devInst, char* buffer, ULONG length, ULONG flags);

void mark(const std::string& deviceId)
{
    const char* path = std::getenv(kMarkerVariable);
    if (!path)
        return;
    if (FILE* f = std::fopen(path, "a")) {
        std::fprintf(f, "%s\n", deviceId.c_str());
        std::fclose(f);
    }
}

} // namespace

extern "C" __declspec(dllexport) DWORD WINAPI CM_Open_DevNode_Key(DWORD devInst, REGSAM access, ULONG profile,
                                                                   DWORD disposition, PHKEY key, ULONG flags)
{
    (void)profile;
    (void)disposition;
    (void)flags;
    HMODULE setupApi = GetModuleHandleA("setupapi.dll");
    auto getId = setupApi ? reinterpret_cast<GetDeviceId>(
                                reinterpret_cast<void*>(GetProcAddress(setupApi, "CM_Get_Device_IDA")))
                          : nullptr;
    char id[kDeviceIdSize] = {0};
    if (!getId || getId(devInst, id, kDeviceIdSize, 0) != kCrSuccess)
        return kCrFailure;
    mark(id);
    std::string path = std::string(kEnumKey) + id + kParametersKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key) != ERROR_SUCCESS)
        return kCrNoSuchRegistryKey;
    return kCrSuccess;
}
