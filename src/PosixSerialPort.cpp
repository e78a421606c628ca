#include "PosixSerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include "Interrupt.h"

#ifdef __APPLE__
#include <IOKit/serial/ioss.h>
#endif

namespace {

// Until the port's user sets its own timeout, reads wait without practical limit.
constexpr int kWaitForever = INT_MAX;
constexpr const char* kDeviceDir = "/dev/";
// After an interruption a wait goes on only this long: enough for an
// answer already on its way, so the block in flight completes, while a
// silent adapter no longer holds the user for the whole timeout.
constexpr int kInterruptedWaitMs = 1000;

struct Rate {
    int baud;
    speed_t code;
};

constexpr Rate kRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B921600
    {921600, B921600},
#endif
};

// The termios code of a rate, or false when the system has none for it.
bool rateCode(int baud, speed_t& code)
{
    for (const Rate& r : kRates) {
        if (r.baud == baud) {
            code = r.code;
            return true;
        }
    }
    return false;
}

bool dataBitsFlag(int data, tcflag_t& flag)
{
    switch (data) {
    case 5: flag = CS5; return true;
    case 6: flag = CS6; return true;
    case 7: flag = CS7; return true;
    case 8: flag = CS8; return true;
    default: return false;
    }
}

bool parityFlags(SerialPort::Parity parity, tcflag_t& flags)
{
    switch (parity) {
    case SerialPort::ParityNone: flags = 0; return true;
    case SerialPort::ParityOdd: flags = PARENB | PARODD; return true;
    case SerialPort::ParityEven: flags = PARENB; return true;
    default: return false;
    }
}

// A UART sends one and a half stop bits only with 5 data bits, where the
// two-stop-bit setting means exactly that.
bool stopFlags(SerialPort::StopBit stop, int data, tcflag_t& flags)
{
    switch (stop) {
    case SerialPort::StopBitOne: flags = 0; return true;
    case SerialPort::StopBitTwo: flags = CSTOPB; return true;
    case SerialPort::StopBitOneFive:
        flags = CSTOPB;
        return data == 5;
    default: return false;
    }
}

// Why open(2) failed, in the terms a user can act on.
SerialPort::OpenResult openResultOf(int err)
{
    switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
        return SerialPort::OpenNotFound;
    case EACCES:
    case EPERM:
        return SerialPort::OpenDenied;
    case EBUSY:
        return SerialPort::OpenInUse;
    default:
        return SerialPort::OpenFailed;
    }
}

void makeRaw(termios& tio)
{
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    // Reads never block in the driver; poll() does all the waiting.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

} // namespace

PosixSerialPort::PosixSerialPort(const std::string& name, bool isUsb)
    : SerialPort(name), _isUsb(isUsb), _timeoutMs(kWaitForever)
{
}

PosixSerialPort::~PosixSerialPort()
{
    close();
}

std::string PosixSerialPort::devicePath(const std::string& name)
{
    if (!name.empty() && name[0] == '/')
        return name;
    return kDeviceDir + name;
}

bool PosixSerialPort::open(int baud, int data, Parity parity, StopBit stop)
{
    if (_fd >= 0)
        return false;
    int fd = ::open(devicePath(_name).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        _openResult = openResultOf(errno);
        return false;
    }
    // The lock comes first: a port whose lock we lost must keep its holder's
    // exclusive flag, which _release would clear.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        _openResult = errno == EWOULDBLOCK ? OpenInUse : OpenFailed;
        ::close(fd);
        return false;
    }
    _fd = fd;
    if (ioctl(_fd, TIOCEXCL) != 0) {
        _openResult = OpenInUse;
        _release();
        return false;
    }
    if (!_configure(baud, data, parity, stop)) {
        _openResult = OpenFailed;
        _release();
        return false;
    }
    _openResult = OpenOk;
    _timeoutMs = kWaitForever;
    return true;
}

bool PosixSerialPort::_configure(int baud, int data, Parity parity, StopBit stop)
{
    tcflag_t sizeFlag = 0, parFlags = 0, stopFlag = 0;
    if (!dataBitsFlag(data, sizeFlag) || !parityFlags(parity, parFlags) ||
        !stopFlags(stop, data, stopFlag))
        return false;

    termios tio{};
    if (tcgetattr(_fd, &tio) != 0)
        return false;
    makeRaw(tio);
    tio.c_cflag |= sizeFlag | parFlags | stopFlag;

    speed_t code = 0;
    bool known = rateCode(baud, code);
#ifdef __APPLE__
    // macOS has no codes above 230400; the driver takes any rate by ioctl.
    if (!known)
        code = B9600;
#else
    if (!known)
        return false;
#endif
    if (cfsetispeed(&tio, code) != 0 || cfsetospeed(&tio, code) != 0)
        return false;
    if (tcsetattr(_fd, TCSANOW, &tio) != 0)
        return false;
#ifdef __APPLE__
    if (!known) {
        speed_t rate = static_cast<speed_t>(baud);
        return ioctl(_fd, IOSSIOSPEED, &rate) == 0;
    }
#endif
    // tcsetattr succeeds when any part of the change was taken; check the rate.
    termios applied{};
    return tcgetattr(_fd, &applied) == 0 && cfgetospeed(&applied) == code;
}

void PosixSerialPort::_release()
{
    // The exclusive flag belongs to the tty, not to our descriptor.
    ioctl(_fd, TIOCNXCL);
    ::close(_fd);
    _fd = -1;
}

void PosixSerialPort::close()
{
    if (_fd >= 0)
        _release();
}

PosixSerialPort::Wait PosixSerialPort::_waitFor(short events, int millisecs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    pollfd pfd{_fd, events, 0};
    // Once interrupted, no wait is long: a silent adapter must not hold the
    // user for a whole timeout after Ctrl-C.
    int wait = interruptRequested() ? std::min(millisecs, kInterruptedWaitMs) : millisecs;
    int n;
    while ((n = poll(&pfd, 1, wait)) < 0) {
        if (errno != EINTR)
            return Wait::Failed;
        // A signal: wait out what is left, never the whole time again.
        auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        wait = static_cast<int>(std::max<long long>(0, static_cast<long long>(millisecs) - spent));
        if (interruptRequested())
            wait = std::min(wait, kInterruptedWaitMs);
    }
    if (n == 0)
        return Wait::TimedOut;
    // Data still buffered is delivered before a hang-up is reported.
    if (pfd.revents & events)
        return Wait::Ready;
    return Wait::Failed;
}

int PosixSerialPort::read(uint8_t* buffer, int size)
{
    if (_fd < 0)
        return -1;
    int total = 0;
    while (total < size) {
        Wait w = _waitFor(POLLIN, _timeoutMs);
        if (w == Wait::TimedOut)
            break;
        if (w == Wait::Failed)
            return -1;
        ssize_t n = ::read(_fd, buffer + total, static_cast<size_t>(size - total));
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        // End of file or EIO: the device has gone.
        return -1;
    }
    return total;
}

int PosixSerialPort::write(const uint8_t* data, int size)
{
    if (_fd < 0)
        return -1;
    int total = 0;
    while (total < size) {
        ssize_t n = ::write(_fd, data + total, static_cast<size_t>(size - total));
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        if (_waitFor(POLLOUT, kWriteStallMs) != Wait::Ready)
            break;
    }
    return (total == 0 && size > 0) ? -1 : total;
}

int PosixSerialPort::get()
{
    uint8_t byte = 0;
    return read(&byte, 1) == 1 ? byte : -1;
}

int PosixSerialPort::put(int c)
{
    uint8_t byte = static_cast<uint8_t>(c & 0xFF);
    return write(&byte, 1) == 1 ? byte : -1;
}

bool PosixSerialPort::timeout(int millisecs)
{
    if (_fd < 0 || millisecs < 0)
        return false;
    _timeoutMs = millisecs;
    return true;
}

void PosixSerialPort::flush()
{
    if (_fd >= 0)
        tcdrain(_fd);
}
