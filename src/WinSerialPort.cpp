#include "WinSerialPort.h"

#include <climits>

#include "Pause.h"

namespace {

constexpr const char* kDevicePrefix = "\\\\.\\";  // lets COM10 and above open
// Until the port's user sets its own timeout, reads wait without practical limit.
constexpr int kWaitForever = INT_MAX;
constexpr int kFlushPauseMs = 1;
// A device that stops reading must not hang a write for ever; as on POSIX.
constexpr DWORD kWriteTimeoutMs = 5000;

// Windows answers ERROR_ACCESS_DENIED for a COM port another program holds.
SerialPort::OpenResult openResultOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return SerialPort::OpenNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return SerialPort::OpenInUse;
    default: return SerialPort::OpenFailed;
    }
}

bool parityCode(SerialPort::Parity parity, BYTE& code)
{
    switch (parity) {
    case SerialPort::ParityNone: code = NOPARITY; return true;
    case SerialPort::ParityOdd: code = ODDPARITY; return true;
    case SerialPort::ParityEven: code = EVENPARITY; return true;
    default: return false;
    }
}

bool stopCode(SerialPort::StopBit stop, BYTE& code)
{
    switch (stop) {
    case SerialPort::StopBitOne: code = ONESTOPBIT; return true;
    case SerialPort::StopBitOneFive: code = ONE5STOPBITS; return true;
    case SerialPort::StopBitTwo: code = TWOSTOPBITS; return true;
    default: return false;
    }
}

// A driver that defaults to XON/XOFF or hardware handshake would swallow
// 0x11 and 0x13 in binary answers or stall writes for ever.
void makeBinaryLine(DCB& dcb)
{
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
}

} // namespace

WinSerialPort::WinSerialPort(const std::string& name, bool isUsb)
    : SerialPort(name), _handle(INVALID_HANDLE_VALUE), _isUsb(isUsb)
{
}

WinSerialPort::~WinSerialPort()
{
    close();
}

bool WinSerialPort::open(int baud, int data, Parity parity, StopBit stop)
{
    if (_handle != INVALID_HANDLE_VALUE)
        return false;
    std::string path = kDevicePrefix + _name;
    _handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (_handle == INVALID_HANDLE_VALUE) {
        _openResult = openResultOf(GetLastError());
        return false;
    }

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    BYTE parityValue = 0, stopValue = 0;
    bool ok = GetCommState(_handle, &dcb) && parityCode(parity, parityValue) && stopCode(stop, stopValue);
    if (ok) {
        dcb.BaudRate = static_cast<DWORD>(baud);
        dcb.ByteSize = static_cast<BYTE>(data);
        dcb.Parity = parityValue;
        dcb.StopBits = stopValue;
        makeBinaryLine(dcb);
        ok = SetCommState(_handle, &dcb);
    }
    if (!ok) {
        close();
        _openResult = OpenFailed;
        return false;
    }
    timeout(kWaitForever);
    _openResult = OpenOk;
    return true;
}

void WinSerialPort::close()
{
    if (_handle != INVALID_HANDLE_VALUE) {
        CloseHandle(_handle);
        _handle = INVALID_HANDLE_VALUE;
    }
}

int WinSerialPort::read(uint8_t* buffer, int size)
{
    if (_handle == INVALID_HANDLE_VALUE)
        return -1;
    int total = 0;
    while (total < size) {
        DWORD n = 0;
        if (!ReadFile(_handle, buffer + total, static_cast<DWORD>(size - total), &n, nullptr))
            return -1;
        if (n == 0)
            break;
        total += static_cast<int>(n);
    }
    return total;
}

int WinSerialPort::write(const uint8_t* data, int size)
{
    if (_handle == INVALID_HANDLE_VALUE || size < 0)
        return -1;
    DWORD n = 0;
    if (!WriteFile(_handle, data, static_cast<DWORD>(size), &n, nullptr))
        return -1;
    // A write cut short by the timeout may report success with fewer bytes.
    return (n == 0 && size > 0) ? -1 : static_cast<int>(n);
}

int WinSerialPort::get()
{
    uint8_t byte = 0;
    DWORD n = 0;
    if (_handle == INVALID_HANDLE_VALUE || !ReadFile(_handle, &byte, 1, &n, nullptr) || n != 1)
        return -1;
    return byte;
}

int WinSerialPort::put(int c)
{
    uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    DWORD n = 0;
    if (_handle == INVALID_HANDLE_VALUE || !WriteFile(_handle, &byte, 1, &n, nullptr) || n != 1)
        return -1;
    return byte;
}

bool WinSerialPort::timeout(int millisecs)
{
    if (_handle == INVALID_HANDLE_VALUE || millisecs < 0)
        return false;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(millisecs);
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    return SetCommTimeouts(_handle, &t) != 0;
}

void WinSerialPort::flush()
{
    pauseMs(kFlushPauseMs);
}
