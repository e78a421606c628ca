// A serial port on Windows: a COM device opened without sharing.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>

#include "SerialPort.h"

class WinSerialPort : public SerialPort {
public:
    // `name` is a COM port name such as "COM3". The port starts closed.
    WinSerialPort(const std::string& name, bool isUsb);
    ~WinSerialPort() override;
    WinSerialPort(const WinSerialPort&) = delete;
    WinSerialPort& operator=(const WinSerialPort&) = delete;

    // Opens "\\.\" + name without sharing and sets a binary 8-bit line with
    // no flow control; false when already open, false and closed on failure.
    // openResult(): not found, in use (Windows reports a held port as access
    // denied), or failed.
    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override { return _isUsb; }
    // Gathers up to `size` bytes until one read brings none within the timeout.
    int read(uint8_t* buffer, int size) override;
    // One write of `size` bytes; the count written, or -1 when nothing went
    // out within 5 s (a device that stopped reading) or on failure.
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    // Read timeout in milliseconds (>= 0), with the fixed 5 s write timeout;
    // false when closed or refused.
    bool timeout(int millisecs) override;
    // A 1 ms pause that lets the driver pass on what was written.
    void flush() override;

private:
    HANDLE _handle;
    bool _isUsb;
};
