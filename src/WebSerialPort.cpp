#include "WebSerialPort.h"

#include <climits>

// The browser side, in WebSerialPort.js. The ones that wait are Asyncify
// imports: the page runs on while they wait.
extern "C" {
int pelago_serial_open(int baud);
void pelago_serial_close(int waitMs);
int pelago_serial_take(uint8_t* buffer, int size);
int pelago_serial_wait(int timeoutMs);
int pelago_serial_write(const uint8_t* data, int size);
int pelago_serial_ready();
void pelago_serial_drain();
}

namespace {

// Until the port's user sets its own timeout, reads wait without practical limit.
constexpr int kWaitForever = INT_MAX;
constexpr int kDataBits = 8;

// What pelago_serial_open and pelago_serial_write answer.
constexpr int kJsOpenOk = 0;
constexpr int kJsOpenNotFound = 1;
constexpr int kJsWriteBufferFull = -2;
constexpr int kJsWaitTimedOut = 0;

SerialPort::OpenResult g_lastOpenResult = SerialPort::OpenOk;

} // namespace

SerialPort::OpenResult webSerialLastOpenResult()
{
    return g_lastOpenResult;
}

WebSerialPort::WebSerialPort(const std::string& name, bool isUsb)
    : SerialPort(name), _isUsb(isUsb), _timeoutMs(kWaitForever)
{
}

WebSerialPort::~WebSerialPort()
{
    close();
}

bool WebSerialPort::open(int baud, int data, Parity parity, StopBit stop)
{
    if (_open)
        return false;
    // The monitor speaks 8N1 only; the client never asks for anything else.
    if (data != kDataBits || parity != ParityNone || stop != StopBitOne || baud <= 0) {
        _openResult = OpenFailed;
        return false;
    }
    int result = pelago_serial_open(baud);
    if (result != kJsOpenOk) {
        _openResult = result == kJsOpenNotFound ? OpenNotFound : OpenFailed;
        g_lastOpenResult = _openResult;
        return false;
    }
    _open = true;
    _openResult = OpenOk;
    g_lastOpenResult = _openResult;
    _timeoutMs = kWaitForever;
    return true;
}

void WebSerialPort::close()
{
    if (!_open)
        return;
    _open = false;
    pelago_serial_close(kReleaseWaitMs);
}

int WebSerialPort::read(uint8_t* buffer, int size)
{
    if (!_open)
        return -1;
    int total = 0;
    while (total < size) {
        int n = pelago_serial_take(buffer + total, size - total);
        if (n < 0)
            return -1;
        total += n;
        if (total == size)
            break;
        // Bytes that came before a failure are taken first; only a failed
        // line with nothing left fails the read, as a hung-up tty does.
        int waited = pelago_serial_wait(_timeoutMs);
        if (waited == kJsWaitTimedOut)
            break;
        if (waited < 0)
            return -1;
    }
    return total;
}

int WebSerialPort::write(const uint8_t* data, int size)
{
    if (!_open)
        return -1;
    if (size <= 0)
        return 0;
    for (;;) {
        int n = pelago_serial_write(data, size);
        if (n != kJsWriteBufferFull)
            return n;
        if (pelago_serial_ready() < 0)
            return -1;
    }
}

int WebSerialPort::get()
{
    uint8_t byte = 0;
    return read(&byte, 1) == 1 ? byte : -1;
}

int WebSerialPort::put(int c)
{
    uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    return write(&byte, 1) == 1 ? byte : -1;
}

bool WebSerialPort::timeout(int millisecs)
{
    if (!_open || millisecs < 0)
        return false;
    _timeoutMs = millisecs;
    return true;
}

void WebSerialPort::flush()
{
    if (_open)
        pelago_serial_drain();
}
