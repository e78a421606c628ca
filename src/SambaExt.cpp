// The adapter monitor's own commands: erase, buffered flash write,
// checksum, firmware preparation; and the settings-area dump.
#include <cstdio>
#include <cstring>

#include "SambaLink.h"
#include "SambaXcon.h"

namespace {

constexpr int kCommandBufferSize = 64;
constexpr int kOneFieldCommandLength = 12;  // "X%08X,%d#", "Y%08X,0#"
constexpr int kInitCommandLength = 2;       // "x#"
constexpr int kShortReplySize = 3;
constexpr int kChecksumReplySize = 9;       // 'Z' and eight hex digits
constexpr int kChecksumDigits = kChecksumReplySize - 1;
// The monitor may take this long to erase or program flash.
constexpr int kFlashTimeoutMs = 5000;
// How long the line must stay quiet after the last word of a dump; a stray
// byte travels with the reply it spoils, so it is there well within this.
constexpr int kStrayByteTimeoutMs = 20;

constexpr uint32_t kSettingsAreaAddr = 0x1F000;
constexpr uint32_t kWordSize = 4;

// The value of a hexadecimal digit, or -1.
int hexDigit(uint8_t c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

void Samba::_exchange(const char* cmd, int len, uint8_t* reply, int replyLen, int timeoutMs,
                      char letter)
{
    // A reply that never comes must not leave an old byte that passes the test.
    std::memset(reply, 0, static_cast<size_t>(replyLen));
    _sendCommand(cmd, len);
    _port->timeout(timeoutMs);
    int count = _port->read(reply, replyLen);
    _port->timeout(kConnectedTimeoutMs);
    if (count != replyLen || reply[0] != static_cast<uint8_t>(letter)) {
        _trace("no valid '%c' reply (%d bytes)\n", letter, count);
        throw SambaError();
    }
}

bool Samba::chipErase(uint32_t start_addr, uint8_t clearEEPROMtoo)
{
    if (!_extChipEraseAvailable)
        throw SambaError();
    // The monitor's digit means "keep the settings area".
    int keepSettings = clearEEPROMtoo ? 0 : 1;
    char cmd[kCommandBufferSize];
    std::snprintf(cmd, sizeof cmd, "X%08X,%d#", start_addr, keepSettings);
    uint8_t reply[kShortReplySize];
    _exchange(cmd, kOneFieldCommandLength, reply, kShortReplySize, kFlashTimeoutMs, 'X');
    return true;
}

bool Samba::writeBuffer(uint32_t src_addr, uint32_t dst_addr, uint32_t size)
{
    if (!_extWriteBufferAvailable)
        throw SambaError();
    char cmd[kCommandBufferSize];
    uint8_t reply[kShortReplySize];
    std::snprintf(cmd, sizeof cmd, "Y%08X,0#", src_addr);
    _exchange(cmd, kOneFieldCommandLength, reply, kShortReplySize, kShortTimeoutMs, 'Y');
    std::snprintf(cmd, sizeof cmd, "Y%08X,%08X#", dst_addr, size);
    _exchange(cmd, kTwoFieldCommandLength, reply, kShortReplySize, kFlashTimeoutMs, 'Y');
    return true;
}

uint32_t Samba::checksumBuffer(uint32_t start_addr, uint32_t size)
{
    if (!_extChecksumBufferAvailable)
        throw SambaError();
    char cmd[kCommandBufferSize];
    std::snprintf(cmd, sizeof cmd, "Z%08X,%08X#", start_addr, size);
    uint8_t reply[kChecksumReplySize];
    _exchange(cmd, kTwoFieldCommandLength, reply, kChecksumReplySize, kFlashTimeoutMs, 'Z');

    uint32_t sum = 0;
    int digits = 0;
    for (; digits < kChecksumDigits; ++digits) {
        int d = hexDigit(reply[1 + digits]);
        if (d < 0)
            break;
        sum = sum << 4 | static_cast<uint32_t>(d);
    }
    if (digits == 0)
        throw SambaError();
    _trace("checksumBuffer(addr=0x%08X,size=0x%08X)=0x%08X\n", start_addr, size, sum);
    return sum;
}

bool Samba::eepromDump(uint32_t ee_size, uint8_t* ee_buf)
{
    if (ee_size > 0 && ee_buf == nullptr)
        throw SambaError();
    for (uint32_t i = 0; i < ee_size; i += kWordSize) {
        uint32_t word = readWord(kSettingsAreaAddr + i);
        // A size that is not a multiple of 4 must not write past the buffer.
        for (uint32_t b = 0; b < kWordSize && i + b < ee_size; ++b)
            ee_buf[i + b] = static_cast<uint8_t>(word >> (8 * b));
    }
    // One stray byte shifts every later word yet leaves each reply whole:
    // only the byte left over at the end gives it away.
    SerialPort& port = _requirePort();
    uint8_t stray;
    port.timeout(kStrayByteTimeoutMs);
    int extra = port.read(&stray, 1);
    port.timeout(kConnectedTimeoutMs);
    if (extra != 0) {
        _trace("eepromDump: a byte after the last word\n");
        throw SambaError();
    }
    return true;
}

bool Samba::initD()
{
    uint8_t reply[kShortReplySize];
    _exchange("x#", kInitCommandLength, reply, kShortReplySize, kFlashTimeoutMs, 'x');
    return true;
}
