// The byte-stream port to the adapter. Ports are created closed, report
// every failure by their return value and never throw.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class SerialPort {
public:
    using Ptr = std::unique_ptr<SerialPort>;

    enum Parity : uint32_t { ParityNone = 0, ParityOdd = 1, ParityEven = 2 };
    enum StopBit : uint32_t { StopBitOne = 0, StopBitOneFive = 1, StopBitTwo = 2 };
    // Why the last open() failed, so a user can be told what to do.
    enum OpenResult : uint32_t {
        OpenOk = 0,      // opened (or not tried yet)
        OpenNotFound,    // no such port
        OpenDenied,      // the user may not open it
        OpenInUse,       // another program holds it
        OpenFailed       // any other failure
    };

    explicit SerialPort(const std::string& name) : _name(name) {}
    virtual ~SerialPort() {}

    // Opens and configures the line; false (and closed) on any failure,
    // false and unchanged when already open.
    virtual bool open(int baud, int data, Parity parity, StopBit stop) = 0;
    // Closes the port; harmless when closed.
    virtual void close() = 0;
    // Whether the port is a USB serial device (fixed at construction).
    virtual bool isUsb() = 0;
    // Fills `buffer` until `size` bytes arrived or one wait of the read
    // timeout brings nothing; the count (0..size), or -1 when closed or failed.
    virtual int read(uint8_t* buffer, int size) = 0;
    // Writes `size` bytes; the count written, or -1 when closed or failed.
    virtual int write(const uint8_t* data, int size) = 0;
    // The next byte (0..255), or -1 on timeout, failure or a closed port.
    virtual int get() = 0;
    // Writes the low 8 bits of `c`; that byte (0..255), or -1.
    virtual int put(int c) = 0;
    // Sets how long reads wait for data, in milliseconds; false when closed.
    virtual bool timeout(int millisecs) = 0;
    // Lets what was written go out before the next exchange.
    virtual void flush() = 0;
    // The name given at construction.
    virtual std::string name() const { return _name; }
    // Why the last open() failed; OpenOk after one that succeeded.
    OpenResult openResult() const { return _openResult; }

protected:
    std::string _name;
    OpenResult _openResult = OpenOk;
};
