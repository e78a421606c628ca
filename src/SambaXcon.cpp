// Connection, word commands, version, chip identification and reset.
#include "SambaXcon.h"

#include <cstdarg>
#include <cstdio>

#include "Pause.h"
#include "SambaLink.h"

namespace {

constexpr int kUsbBaud = 921600;
constexpr int kDataBits = 8;
constexpr int kOpenPauseMs = 500;   // lets the monitor settle before stale input is drained
constexpr int kResetPauseMs = 100;  // lets the reset take hold before the port is touched again
constexpr int kDrainSize = 1024;
constexpr uint8_t kAutoBaudByte = 0x80;
constexpr int kAutoBaudAnswerSize = 3;
constexpr int kVersionBufferSize = 256;
constexpr int kVersionMaxLength = kVersionBufferSize - 1;
constexpr const char* kVersionTag = "QVL";

constexpr int kWordCommandLength = 12;       // "w%08X,4#"
constexpr int kWordWriteCommandLength = 19;  // "W%08X,%08X#"
constexpr int kWordSize = 4;

// Chip identification: where each chip generation keeps its identifier.
constexpr uint32_t kVectorTableAddr = 0x00000000;
constexpr uint32_t kArmBranchTopByte = 0xEA;
constexpr uint32_t kArm7ChipIdAddr = 0xFFFFF240;
constexpr uint32_t kCpuIdAddr = 0xE000ED00;
constexpr uint32_t kCpuIdPartMask = 0xFFF0;
constexpr uint32_t kCortexM0PlusPart = 0xC600;
constexpr uint32_t kDsuDidAddr = 0x41002018;
constexpr uint32_t kDsuDidMask = 0xFFFF0FFF;  // the die revision bits vary between parts
constexpr uint32_t kChipIdAddr = 0x400E0740;
constexpr uint32_t kChipIdAltAddr = 0x400E0940;

constexpr uint32_t kAircrAddr = 0xE000ED0C;
constexpr uint32_t kAircrSysResetReq = 0x05FA0004;  // write key and SYSRESETREQ

bool isPrintable(uint8_t c)
{
    return c >= 0x20 && c <= 0x7E;
}

} // namespace

Samba::Samba() {}

Samba::~Samba() {}

SerialPort& Samba::_requirePort()
{
    if (!_port)
        throw SambaError();
    return *_port;
}

void Samba::_trace(const char* format, ...) const
{
    if (!_debug)
        return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
}

void Samba::_sendCommand(const char* cmd, int len)
{
    _trace("command %.*s\n", len, cmd);
    if (_requirePort().write(reinterpret_cast<const uint8_t*>(cmd), len) != len)
        throw SambaError();
}

bool Samba::connect(SerialPort::Ptr port, int bps)
{
    _port = std::move(port);
    if (!_port) {
        _lastOpenResult = SerialPort::OpenFailed;
        return false;
    }
    _lastOpenResult = SerialPort::OpenOk;
    _isUsb = _port->isUsb();
    _trace("connect %s (%s)\n", _port->name().c_str(), _isUsb ? "USB" : "serial");

    if (_isUsb) {
        if (_tryConnect(kUsbBaud))
            return true;
        _port->close();
    }
    _isUsb = false;
    if (_tryConnect(bps))
        return true;
    _trace("connect failed\n");
    _port->close();
    _port.reset();
    return false;
}

bool Samba::_tryConnect(int baud)
{
    _trace("open at %d baud\n", baud);
    bool opened = _port->open(baud, kDataBits, SerialPort::ParityNone, SerialPort::StopBitOne);
    _lastOpenResult = _port->openResult();
    if (!opened) {
        _trace("open failed\n");
        return false;
    }
    return init();
}

bool Samba::init()
{
    SerialPort& port = _requirePort();
    port.timeout(kShortTimeoutMs);
    pauseMs(kOpenPauseMs);

    uint8_t stale[kDrainSize];
    port.read(stale, kDrainSize);

    if (!_isUsb) {
        _trace("auto-baud\n");
        port.put(kAutoBaudByte);
        port.get();
        port.put(kAutoBaudByte);
        port.get();
        port.put('#');
        uint8_t answer[kAutoBaudAnswerSize];
        port.read(answer, kAutoBaudAnswerSize);
    }

    uint32_t cid = 0;
    try {
        cid = chipId();
    } catch (const SambaError&) {
        _trace("init: no answer to the chip identifier\n");
        return false;
    }

    std::string ver = version();
    if (ver.find(kVersionTag) == std::string::npos) {
        _trace("init: version \"%s\" not accepted\n", ver.c_str());
        return false;
    }
    _extChipEraseAvailable = true;
    _extWriteBufferAvailable = true;
    _extChecksumBufferAvailable = true;
    port.timeout(kConnectedTimeoutMs);

    _trace("init: chip 0x%08X, version \"%s\"\n", cid, ver.c_str());
    return cid == kAcceptedChipId;
}

void Samba::disconnect()
{
    if (_port)
        _port->close();
    _port.reset();
}

uint32_t Samba::readWord(uint32_t addr)
{
    char cmd[kWordCommandLength + 1];
    std::snprintf(cmd, sizeof cmd, "w%08X,4#", addr);
    _sendCommand(cmd, kWordCommandLength);

    uint8_t answer[kWordSize];
    if (_port->read(answer, kWordSize) != kWordSize)
        throw SambaError();
    uint32_t value = static_cast<uint32_t>(answer[0]) | static_cast<uint32_t>(answer[1]) << 8 |
                     static_cast<uint32_t>(answer[2]) << 16 | static_cast<uint32_t>(answer[3]) << 24;
    _trace("readWord(addr=0x%08X)=0x%08X\n", addr, value);
    return value;
}

void Samba::writeWord(uint32_t addr, uint32_t value)
{
    char cmd[kWordWriteCommandLength + 1];
    std::snprintf(cmd, sizeof cmd, "W%08X,%08X#", addr, value);
    _trace("writeWord(addr=0x%08X,value=0x%08X)\n", addr, value);
    _sendCommand(cmd, kWordWriteCommandLength);
    if (_isUsb)
        _port->flush();
}

std::string Samba::version()
{
    SerialPort& port = _requirePort();
    const uint8_t request[] = {'V', '#'};
    port.write(request, sizeof request);

    uint8_t answer[kVersionBufferSize];
    port.timeout(kShortTimeoutMs);
    int count = port.read(answer, kVersionMaxLength);
    port.timeout(kConnectedTimeoutMs);
    if (count <= 0)
        throw SambaError();

    int length = 0;
    while (length < count && isPrintable(answer[length]))
        ++length;
    std::string text(reinterpret_cast<const char*>(answer), static_cast<size_t>(length));
    _trace("version()=%s\n", text.c_str());
    return text;
}

uint32_t Samba::chipId()
{
    uint32_t vector = readWord(kVectorTableAddr);
    uint32_t cid;
    if ((vector >> 24) == kArmBranchTopByte) {
        cid = readWord(kArm7ChipIdAddr);
    } else if ((readWord(kCpuIdAddr) & kCpuIdPartMask) == kCortexM0PlusPart) {
        cid = readWord(kDsuDidAddr) & kDsuDidMask;
    } else {
        cid = readWord(kChipIdAddr);
        if (cid == 0)
            cid = readWord(kChipIdAltAddr);
    }
    _trace("chipId()=0x%08X\n", cid);
    return cid;
}

void Samba::reset()
{
    std::printf("CPU reset.\n");
    if (chipId() != kAcceptedChipId) {
        std::printf("Reset not supported for this CPU.\n");
        return;
    }
    writeWord(kAircrAddr, kAircrSysResetReq);
    pauseMs(kResetPauseMs);
}
