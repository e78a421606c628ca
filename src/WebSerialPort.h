// A serial port in the browser: the port the user chose in the browser's
// picker (navigator.serial), driven through Asyncify so that the monitor
// client's blocking calls yield to the page while they wait.
#pragma once

#include <string>

#include "SerialPort.h"

// How the last open of a WebSerialPort went (OpenOk before any): a port the
// browser refused is told apart from one that opened and stayed silent.
SerialPort::OpenResult webSerialLastOpenResult();

class WebSerialPort : public SerialPort {
public:
    // `name` is how messages call the port; the port behind it is the one
    // the page chose last (Module.pelagoSerial.choose, WebSerialPort.js).
    // Starts closed.
    WebSerialPort(const std::string& name, bool isUsb);
    ~WebSerialPort() override;
    WebSerialPort(const WebSerialPort&) = delete;
    WebSerialPort& operator=(const WebSerialPort&) = delete;

    // Opens the chosen port at `baud`, 8N1 only. False when already open;
    // false and closed when no port is chosen (openResult NotFound), the
    // line settings are not 8N1 (Failed) or the browser refuses the port
    // (Failed: another program or tab holds it, or the user may not).
    bool open(int baud, int data, Parity parity, StopBit stop) override;
    // Releases the reader and the writer and closes the port, waiting at
    // most kReleaseWaitMs for writes still under way; harmless when closed.
    void close() override;
    bool isUsb() override { return _isUsb; }
    // Gathers up to `size` bytes; stops early when one wait of the read
    // timeout brings nothing. Bytes that arrive after a timeout are kept
    // for the next read. -1 when closed, or when the port failed or
    // vanished and no byte that came before is left.
    int read(uint8_t* buffer, int size) override;
    // Queues all `size` bytes for the port, waiting only while the
    // browser's write buffer is full; the count, or -1 when closed or a
    // write has failed.
    int write(const uint8_t* data, int size) override;
    int get() override;
    int put(int c) override;
    // Read timeout in milliseconds (>= 0); false when closed or negative.
    bool timeout(int millisecs) override;
    // Waits until every queued write has reached the port.
    void flush() override;

    // How long close() waits for the port to take queued writes, in ms.
    static constexpr int kReleaseWaitMs = 1000;

private:
    bool _isUsb;
    bool _open = false;
    int _timeoutMs;
};
