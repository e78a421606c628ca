// Windows side of the port-layer tests under wine:
//   define COMn TARGET  gives COMn a raw device target (\Device\USBSER000
//                       makes the scan count it as USB) for later programs
//                       of the same wineserver
//   undefine COMn       takes that target away again
//   list                the scan's COM names, one a line
//   open COMn           opens the port as the tool does; "opened" or the
//                       open result's number and the reason line
//   stall COMn          writes until a write gives up (nobody reads the
//                       far side); how many bytes went and how it ended
//   pauses N            benchmark: N of the pauses that follow USB block
//                       writes, at the default timer and at 1 ms
//   hold FILE MS        holds FILE open for MS ms, sharing only reading,
//                       as an editor might; FILE.held appears once it is
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "WinPortFactory.h"
#include "WinSerialPort.h"

#include <winternl.h>

namespace {

constexpr int kBaud = 921600;
constexpr int kDataBits = 8;
constexpr int kStallChunk = 4096;
constexpr int kStallLimit = 64 * 1024 * 1024;  // a write that never gives up ends here

enum ExitCode { kPassed = 0, kFailed = 1, kUsage = 2 };

int usage()
{
    std::fprintf(stderr, "usage: WinPortProbe define COMn TARGET | undefine COMn | list | open COMn | stall COMn | "
                         "pauses N | hold FILE MS\n");
    return kUsage;
}

// The symbolic link DefineDosDevice(DDD_RAW_TARGET_PATH) would make, made
// directly: under wine 8 DefineDosDevice for a COM name works at most once
// per wineserver, later calls fail with ERROR_PATH_NOT_FOUND, and what it
// made is not always seen by QueryDosDevice.
typedef LONG(NTAPI* CreateLink)(HANDLE* link, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                                UNICODE_STRING* target);
typedef LONG(NTAPI* OpenLink)(HANDLE* link, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
typedef LONG(NTAPI* MakeTemporary)(HANDLE object);
typedef LONG(NTAPI* CloseObject)(HANDLE object);
constexpr ACCESS_MASK kLinkAllAccess = 0xF0001;
constexpr ULONG kObjPermanent = 0x10;
constexpr ULONG kObjCaseInsensitive = 0x40;

template <typename F>
F ntdll(const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name)));
}

struct WideString {
    explicit WideString(const std::string& text) : chars(text.begin(), text.end())
    {
        value.Buffer = chars.data();
        value.Length = value.MaximumLength = static_cast<USHORT>(chars.size() * sizeof(wchar_t));
    }
    std::wstring chars;
    UNICODE_STRING value{};
};

int define(const char* name, const char* target)
{
    WideString linkName(std::string("\\??\\") + name);
    OBJECT_ATTRIBUTES attributes{};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &linkName.value;
    attributes.Attributes = kObjCaseInsensitive | (target ? kObjPermanent : 0);
    HANDLE link = nullptr;
    LONG status;
    if (target) {
        WideString targetName(target);
        status = ntdll<CreateLink>("NtCreateSymbolicLinkObject")(&link, kLinkAllAccess, &attributes, &targetName.value);
    } else {
        status = ntdll<OpenLink>("NtOpenSymbolicLinkObject")(&link, DELETE, &attributes);
        if (status != 0)
            return kPassed;  // nothing defined is nothing to remove
        status = ntdll<MakeTemporary>("NtMakeTemporaryObject")(link);
    }
    if (link)
        ntdll<CloseObject>("NtClose")(link);
    if (status != 0) {
        std::fprintf(stderr, "%s %s failed: status %08lx\n", target ? "defining" : "removing", name,
                     static_cast<unsigned long>(status));
        return kFailed;
    }
    return kPassed;
}

int list()
{
    for (const std::string& name : WinPortFactory::presentPorts())
        std::printf("%s\n", name.c_str());
    return kPassed;
}

int open(const char* name)
{
    WinPortFactory factory;
    SerialPort::Ptr port = factory.create(name, true);
    if (port->open(kBaud, kDataBits, SerialPort::ParityNone, SerialPort::StopBitOne)) {
        std::printf("opened\n");
        return kPassed;
    }
    std::printf("%u %s\n", static_cast<unsigned>(port->openResult()),
                factory.explainFailure(name, port->openResult()).c_str());
    return kPassed;
}

int stall(const char* name)
{
    WinSerialPort port(name, true);
    if (!port.open(kBaud, kDataBits, SerialPort::ParityNone, SerialPort::StopBitOne))
        return kFailed;
    std::vector<uint8_t> chunk(kStallChunk, 0x55);
    long total = 0;
    int last = 0;
    while (total < kStallLimit) {
        last = port.write(chunk.data(), kStallChunk);
        if (last <= 0)
            break;
        total += last;
    }
    std::printf("wrote %ld bytes, last write %d\n", total, last);
    return kPassed;
}

int pauses(int count)
{
    WinSerialPort port("COM0", true);  // the pause needs no open port
    auto measure = [&] {
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < count; ++i)
            port.flush();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    double atDefault = measure();
    double atOneMs = 0;
    {
        WinTimerResolution timer;
        atOneMs = measure();
    }
    std::printf("%d pauses: %.0f ms at the default timer, %.0f ms at 1 ms (ratio %.1f)\n", count, atDefault, atOneMs,
                atDefault / atOneMs);
    return kPassed;
}

int hold(const char* file, int ms)
{
    HANDLE held = CreateFileA(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return kFailed;
    HANDLE marker = CreateFileA((std::string(file) + ".held").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    CloseHandle(marker);
    Sleep(DWORD(ms));
    CloseHandle(held);
    return kPassed;
}

} // namespace

int main(int argc, char** argv)
{
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "define" && argc == 4)
        return define(argv[2], argv[3]);
    if (command == "undefine" && argc == 3)
        return define(argv[2], nullptr);
    if (command == "list" && argc == 2)
        return list();
    if (command == "open" && argc == 3)
        return open(argv[2]);
    if (command == "stall" && argc == 3)
        return stall(argv[2]);
    if (command == "pauses" && argc == 3 && std::atoi(argv[2]) > 0)
        return pauses(std::atoi(argv[2]));
    if (command == "hold" && argc == 4 && std::atoi(argv[3]) > 0)
        return hold(argv[2], std::atoi(argv[3]));
    return usage();
}
