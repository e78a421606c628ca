// Host side of the adapter's boot monitor (a SAM-BA monitor with four
// extension commands): connection, word commands, block transfers,
// erase, buffered flash writes and checksums.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "SerialPort.h"

// The one failure of a monitor exchange: a short write, a missing or short
// answer, or an answer with the wrong letter.
class SambaError : public std::exception {
public:
    SambaError() {}
    virtual ~SambaError() {}
    const char* what() const noexcept override { return "SAM-BA operation failed"; }
};

class Samba {
public:
    Samba();
    virtual ~Samba();

    // Takes over `port`, opens it (921600 baud first when it is a USB port,
    // then `bps` with the auto-baud handshake) and checks the monitor.
    // True when connected and accepted; false when neither attempt was,
    // the port then closed and released. Throws SambaError when the
    // monitor answers word reads but not the version request.
    bool connect(SerialPort::Ptr port, int bps = 115200);
    // Closes and releases the port.
    void disconnect();
    // The monitor check run after each open; true when the version text
    // holds "QVL" and the chip identifier is 0x1001030B.
    bool init();

    // The operations below throw SambaError when no port is held, when a
    // command is not accepted whole, or when its answer is short or wrong.

    // The 32-bit word at `addr`.
    uint32_t readWord(uint32_t addr);
    // Stores `value` at `addr`; no answer.
    void writeWord(uint32_t addr, uint32_t value);
    // The monitor's version text, cut at its first non-printable byte.
    std::string version();
    // The chip identifier, told apart by chip generation.
    uint32_t chipId();
    // Prints "CPU reset." and, on the accepted chip, requests a system reset.
    void reset();

    void setDebug(bool debug) { _debug = debug; }
    // Whether the link runs as USB (raw blocks) rather than plain serial (XMODEM).
    bool isUsb() const { return _isUsb; }
    // The held port; only valid while connected.
    const SerialPort& getSerialPort() const { return *_port; }
    bool isChipEraseAvailable() const { return _extChipEraseAvailable; }
    bool isWriteBufferAvailable() const { return _extWriteBufferAvailable; }
    bool isChecksumBufferAvailable() const { return _extChecksumBufferAvailable; }

    // Block transfers: stores `size` bytes at `addr` in the adapter's memory,
    // raw on USB links, by XMODEM-CRC on serial links (the last block filled
    // up with 0x00). A negative `size` throws before anything is sent.
    void write(uint32_t addr, const uint8_t* buffer, int size);
    void writeBinary(const uint8_t* buffer, int size);
    void writeXmodem(const uint8_t* buffer, int size);
    // CRC-16/XMODEM of `len` bytes (0 for len <= 0).
    static uint16_t crc16Calc(const uint8_t* data, int len);
    // Stores the CRC of a 133-byte block's 128 data bytes at offsets 131, 132.
    static void crc16Add(uint8_t* blk);

    // Extension commands. Each needs its whole answer (3 bytes, 9 for the
    // checksum) beginning with its own letter within the time it allows.
    // Erases flash from `start_addr`; non-zero `clearEEPROMtoo` erases the
    // settings area too. True once the monitor confirmed.
    bool chipErase(uint32_t start_addr, uint8_t clearEEPROMtoo);
    // Has the monitor program `size` bytes from its RAM at `src_addr` into
    // flash at `dst_addr`. True once both phases were confirmed.
    bool writeBuffer(uint32_t src_addr, uint32_t dst_addr, uint32_t size);
    // The monitor's checksum over `size` bytes from `start_addr`.
    uint32_t checksumBuffer(uint32_t start_addr, uint32_t size);
    // Copies `ee_size` bytes (a multiple of 4) of the settings area at
    // 0x1F000 into `ee_buf`, one word read per 4 bytes, then waits 20 ms
    // for the line to stay quiet. True; throws when a reply is short or a
    // byte arrives after the last one (the words would be shifted).
    bool eepromDump(uint32_t ee_size, uint8_t* ee_buf);
    // Prepares the monitor for an enciphered firmware image. True.
    bool initD();

private:
    // The held port; throws SambaError when there is none.
    SerialPort& _requirePort();
    // Opens the held port at `baud` (8N1) and runs init; false on either failing.
    bool _tryConnect(int baud);
    // Sends a command with one write; throws unless all `len` bytes went.
    void _sendCommand(const char* cmd, int len);
    // Sends an extension command and reads its `replyLen`-byte answer under
    // `timeoutMs` into `reply`; throws unless the whole answer came and
    // begins with `letter`. The read timeout is back at its connected value
    // afterwards (unless the send itself failed).
    void _exchange(const char* cmd, int len, uint8_t* reply, int replyLen, int timeoutMs, char letter);
    // printf to standard output when tracing is on.
    void _trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    bool _extChipEraseAvailable = false;
    bool _extWriteBufferAvailable = false;
    bool _extChecksumBufferAvailable = false;
    bool _debug = false;
    bool _isUsb = false;
    SerialPort::Ptr _port;
};
