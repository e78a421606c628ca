// A serial port on Linux and macOS: a tty device in raw mode, held
// exclusively, with read timeouts in milliseconds.
#pragma once

#include <string>

#include "SerialPort.h"

class PosixSerialPort : public SerialPort {
public:
    // `name` is a device path ("/dev/ttyACM0") or a bare device name
    // ("ttyACM0", meaning /dev/ttyACM0). The port starts closed.
    PosixSerialPort(const std::string& name, bool isUsb);
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    // Opens the device exclusively (a device another program holds fails)
    // and sets a raw line with the given settings. False when already open;
    // false and closed when the device, the rate or a setting is refused.
    // openResult() then tells why: NotFound (no such device), Denied (no
    // permission), InUse (another program holds the lock or the exclusive
    // flag), Failed (anything else, such as a refused setting).
    bool open(int baud, int data, Parity parity, StopBit stop) override;
    void close() override;
    bool isUsb() override { return _isUsb; }
    // Gathers up to `size` bytes; stops early when one wait of the read
    // timeout brings nothing. -1 when closed, on a read error or when the
    // device has hung up.
    int read(uint8_t* buffer, int size) override;
    // Writes all `size` bytes unless the device fails or accepts nothing for
    // kWriteStallMs; the count written, or -1 when closed or nothing went.
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    // Read timeout in milliseconds (>= 0); false when closed or negative.
    bool timeout(int millisecs) override;
    // Waits until everything written has been sent (tcdrain).
    void flush() override;

    // The device path a port name stands for.
    static std::string devicePath(const std::string& name);

    // How long a write may make no progress before it gives up, in ms.
    static constexpr int kWriteStallMs = 5000;

private:
    enum class Wait { Ready, TimedOut, Failed };
    Wait _waitFor(short events, int millisecs);
    bool _configure(int baud, int data, Parity parity, StopBit stop);
    void _release();

    int _fd = -1;
    bool _isUsb;
    int _timeoutMs;
};
