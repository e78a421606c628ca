// The Linux serial port against a real pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "Interrupt.h"
#include "PosixSerialPort.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A pseudo-terminal whose master end the test plays as the device.
class Pty : public ::testing::Test {
protected:
    void SetUp() override
    {
        char name[256];
        ASSERT_EQ(openpty(&_master, &_slave, name, nullptr, nullptr), 0);
        _path = name;
    }
    void TearDown() override
    {
        if (_master >= 0)
            ::close(_master);
        ::close(_slave);
    }

    void deviceSends(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(::write(_master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything the port sent, gathered until `n` bytes or a second passed.
    std::vector<uint8_t> deviceReceives(size_t n)
    {
        std::vector<uint8_t> got;
        auto start = Clock::now();
        while (got.size() < n && msSince(start) < 1000) {
            pollfd pfd{_master, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0)
                continue;
            uint8_t buf[512];
            ssize_t r = ::read(_master, buf, sizeof buf);
            if (r <= 0)
                break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    void hangUp()
    {
        ::close(_master);
        _master = -1;
    }

    int _master = -1;
    int _slave = -1;
    std::string _path;
};

std::vector<uint8_t> everyByte()
{
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    return all;
}

TEST_F(Pty, EveryByteValuePassesBothWaysUnchanged)
{
    PosixSerialPort port(_path, true);
    ASSERT_TRUE(port.open(921600, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    ASSERT_TRUE(port.timeout(1000));
    const std::vector<uint8_t> all = everyByte();

    ASSERT_EQ(port.write(all.data(), 256), 256);
    port.flush();
    EXPECT_EQ(deviceReceives(256), all);

    deviceSends(all);
    std::vector<uint8_t> got(256);
    ASSERT_EQ(port.read(got.data(), 256), 256);
    EXPECT_EQ(got, all);

    EXPECT_EQ(port.put(0x1FF), 0xFF);
    EXPECT_EQ(deviceReceives(1), std::vector<uint8_t>{0xFF});
    deviceSends({0x13});
    EXPECT_EQ(port.get(), 0x13);
}

TEST_F(Pty, ReadsStopAfterOneQuietTimeout)
{
    PosixSerialPort port(_path, false);
    ASSERT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    ASSERT_TRUE(port.timeout(100));

    deviceSends({'a', 'b', 'c'});
    uint8_t buf[4];
    auto start = Clock::now();
    EXPECT_EQ(port.read(buf, 4), 3);
    EXPECT_GE(msSince(start), 90);
    EXPECT_EQ(port.read(buf, 0), 0);

    ASSERT_TRUE(port.timeout(200));
    start = Clock::now();
    EXPECT_EQ(port.get(), -1);
    long waited = msSince(start);
    EXPECT_GE(waited, 190);
    EXPECT_LT(waited, 2000);
}

// Ctrl-C during a wait: an answer already on its way still arrives (the
// block in flight completes), a silent device no longer holds the user for
// the whole timeout.
TEST_F(Pty, AnInterruptedWaitEndsSoonButTakesTheAnswerInFlight)
{
    for (bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "device answers" : "device silent");
        PosixSerialPort port(_path, false);
        ASSERT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
        ASSERT_TRUE(port.timeout(5000));
        InterruptHandlers handlers;
        pthread_t reader = pthread_self();
        std::thread user([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(reader, SIGINT);
            if (answers) {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                deviceSends({0x5A});
            }
        });
        auto start = Clock::now();
        int got = port.get();
        long waited = msSince(start);
        user.join();
        EXPECT_TRUE(interruptRequested());
        EXPECT_EQ(got, answers ? 0x5A : -1);
        EXPECT_LT(waited, answers ? 1000 : 2500);
    }
}

TEST_F(Pty, ClosedPortRefusesEverything)
{
    PosixSerialPort port(_path, false);
    uint8_t buf[1] = {0};
    EXPECT_EQ(port.read(buf, 1), -1);
    EXPECT_EQ(port.write(buf, 1), -1);
    EXPECT_EQ(port.get(), -1);
    EXPECT_EQ(port.put('a'), -1);
    EXPECT_FALSE(port.timeout(100));
    port.flush();
    port.close();
    port.close();
    EXPECT_FALSE(port.isUsb());
    EXPECT_EQ(port.name(), _path);
}

TEST_F(Pty, PortIsHeldExclusively)
{
    PosixSerialPort first(_path, true);
    PosixSerialPort second(_path, true);
    ASSERT_TRUE(first.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_FALSE(first.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_FALSE(second.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_EQ(second.openResult(), SerialPort::OpenInUse);

    ASSERT_TRUE(first.timeout(500));
    deviceSends({'k'});
    EXPECT_EQ(first.get(), 'k') << "the failed opens must leave the first one working";

    first.close();
    EXPECT_TRUE(second.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_EQ(second.openResult(), SerialPort::OpenOk);
}

TEST_F(Pty, UnsupportedSettingsFailAndLeaveThePortClosed)
{
    PosixSerialPort port(_path, false);
    EXPECT_FALSE(port.open(12345, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_FALSE(port.open(115200, 9, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_FALSE(port.open(115200, 8, static_cast<SerialPort::Parity>(3), SerialPort::StopBitOne));
    EXPECT_FALSE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOneFive));
    EXPECT_EQ(port.openResult(), SerialPort::OpenFailed);
    EXPECT_FALSE(port.timeout(100));
    EXPECT_TRUE(port.open(115200, 7, SerialPort::ParityEven, SerialPort::StopBitTwo));
}

TEST_F(Pty, HungUpDeviceFailsInsteadOfBlocking)
{
    PosixSerialPort port(_path, true);
    ASSERT_TRUE(port.open(921600, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    ASSERT_TRUE(port.timeout(5000));
    deviceSends({'z'});
    hangUp();

    uint8_t buf[8];
    auto start = Clock::now();
    EXPECT_EQ(port.read(buf, 8), -1);
    EXPECT_EQ(port.get(), -1);
    EXPECT_LT(msSince(start), 2000);
}

TEST(PosixSerialPortName, BareNameMeansDevPath)
{
    EXPECT_EQ(PosixSerialPort::devicePath("ttyACM0"), "/dev/ttyACM0");
    EXPECT_EQ(PosixSerialPort::devicePath("/dev/ttyUSB1"), "/dev/ttyUSB1");
    EXPECT_EQ(PosixSerialPort::devicePath("pts/3"), "/dev/pts/3");
}

TEST_F(Pty, OpensByBareName)
{
    ASSERT_EQ(_path.rfind("/dev/", 0), 0u);
    PosixSerialPort port(_path.substr(5), false);
    EXPECT_TRUE(port.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    PosixSerialPort missing("no-such-tty-here", false);
    EXPECT_FALSE(missing.open(115200, 8, SerialPort::ParityNone, SerialPort::StopBitOne));
    EXPECT_EQ(missing.openResult(), SerialPort::OpenNotFound);
}

} // namespace
