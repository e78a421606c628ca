// Block writes: raw on USB links, XMODEM with CRC-16 on plain serial links.
#include <array>
#include <cstdio>
#include <cstring>

#include "SambaLink.h"
#include "SambaXcon.h"

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr int kCrcRequest = 'C';
constexpr int kXmodemTries = 5;
constexpr int kXmodemDataSize = 128;
constexpr int kXmodemBlockSize = 133;
constexpr int kBlockNumberPos = 1;
constexpr int kBlockComplementPos = 2;
constexpr int kBlockDataPos = 3;
constexpr int kBlockCrcPos = kBlockDataPos + kXmodemDataSize;
constexpr uint16_t kCrcPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> makeCrc16Table()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ kCrcPolynomial : c << 1);
        table[i] = c;
    }
    return table;
}

// Entry i is the CRC-16/XMODEM of the single byte i.
constexpr std::array<uint16_t, 256> crc16Table = makeCrc16Table();

} // namespace

uint16_t Samba::crc16Calc(const uint8_t* data, int len)
{
    uint16_t c = 0;
    for (int i = 0; i < len; ++i)
        c = static_cast<uint16_t>((c << 8) ^ crc16Table[((c >> 8) ^ data[i]) & 0xFF]);
    return c;
}

void Samba::crc16Add(uint8_t* blk)
{
    uint16_t crc = crc16Calc(blk + kBlockDataPos, kXmodemDataSize);
    blk[kBlockCrcPos] = static_cast<uint8_t>(crc >> 8);
    blk[kBlockCrcPos + 1] = static_cast<uint8_t>(crc & 0xFF);
}

void Samba::write(uint32_t addr, const uint8_t* buffer, int size)
{
    // A negative count would go out as a huge unsigned one.
    if (size < 0)
        throw SambaError();
    char cmd[kTwoFieldCommandLength + 1];
    std::snprintf(cmd, sizeof cmd, "S%08X,%08X#", addr, static_cast<uint32_t>(size));
    _trace("write(addr=0x%08X,size=0x%X)\n", addr, static_cast<unsigned>(size));
    _sendCommand(cmd, kTwoFieldCommandLength);
    if (_isUsb) {
        _port->flush();
        writeBinary(buffer, size);
    } else {
        writeXmodem(buffer, size);
    }
}

void Samba::writeBinary(const uint8_t* buffer, int size)
{
    SerialPort& port = _requirePort();
    int sent = 0;
    while (sent < size) {
        int n = port.write(buffer + sent, size - sent);
        if (n <= 0)
            throw SambaError();
        sent += n;
    }
}

void Samba::writeXmodem(const uint8_t* buffer, int size)
{
    SerialPort& port = _requirePort();
    int tries = 0;
    while (port.get() != kCrcRequest) {
        if (++tries == kXmodemTries)
            throw SambaError();
    }

    uint8_t blk[kXmodemBlockSize];
    uint8_t number = 1;
    for (int offset = 0; offset < size; offset += kXmodemDataSize, ++number) {
        int chunk = size - offset < kXmodemDataSize ? size - offset : kXmodemDataSize;
        blk[0] = kSoh;
        blk[kBlockNumberPos] = number;
        blk[kBlockComplementPos] = static_cast<uint8_t>(0xFF - number);
        std::memcpy(blk + kBlockDataPos, buffer + offset, static_cast<size_t>(chunk));
        std::memset(blk + kBlockDataPos + chunk, 0, static_cast<size_t>(kXmodemDataSize - chunk));
        crc16Add(blk);

        bool acked = false;
        for (tries = 0; tries < kXmodemTries && !acked; ++tries) {
            if (port.write(blk, kXmodemBlockSize) != kXmodemBlockSize)
                throw SambaError();
            acked = port.get() == kAck;
        }
        if (!acked)
            throw SambaError();
        _trace("xmodem block %u sent\n", number);
    }

    for (tries = 0; tries < kXmodemTries; ++tries) {
        port.put(kEot);
        if (port.get() == kAck)
            return;
    }
    throw SambaError();
}
