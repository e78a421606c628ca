// Every byte value crosses the Windows program's COM port unchanged, both
// ways. The pseudo-terminal keeps the kernel's default line settings (XON/
// XOFF, CR/LF mapping, echo, canonical input), as a driver with such
// defaults would: only what the port sets itself makes the line binary.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "WineEnvironment.h"

namespace {

using namespace std::chrono_literals;

constexpr int kByteValues = 256;
constexpr auto kStartAndSendTimeout = 30s;  // includes wine's start
constexpr auto kEchoTimeout = 10s;
constexpr auto kRunTimeout = 60s;

// A pseudo-terminal whose slave side stays open here, so its settings
// outlive the Windows program's own open and close.
class PtyPair {
public:
    PtyPair()
    {
        _master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (_master < 0 || grantpt(_master) != 0 || unlockpt(_master) != 0)
            return;
        const char* name = ptsname(_master);
        if (name == nullptr)
            return;
        _slavePath = name;
        _slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PtyPair()
    {
        if (_slave >= 0)
            ::close(_slave);
        if (_master >= 0)
            ::close(_master);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return _master >= 0 && _slave >= 0; }
    const std::string& slavePath() const { return _slavePath; }
    int slave() const { return _slave; }

    // Bytes from the far side until `count` arrived or `timeout` passed.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout)
    {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{_master, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buffer[kByteValues];
            ssize_t n = ::read(_master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    bool write(const std::vector<uint8_t>& bytes) const
    {
        return ::write(_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    int _master = -1;
    int _slave = -1;
    std::string _slavePath;
};

std::vector<uint8_t> everyByteValue(bool descending)
{
    std::vector<uint8_t> bytes(kByteValues);
    for (int i = 0; i < kByteValues; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(descending ? kByteValues - 1 - i : i);
    return bytes;
}

// The byte values of `expected` that `got` lacks, for a readable failure.
std::string missingValues(const std::vector<uint8_t>& expected, const std::vector<uint8_t>& got)
{
    std::vector<bool> seen(kByteValues, false);
    for (uint8_t b : got)
        seen[b] = true;
    std::string text;
    char hex[8];
    for (uint8_t b : expected)
        if (!seen[b]) {
            std::snprintf(hex, sizeof hex, " %02X", b);
            text += hex;
        }
    return text.empty() ? " none" : text;
}

} // namespace

TEST(WineComTransparency, EveryByteValuePassesBothWaysOnADefaultLine)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    WineComPort com(winePrefix(), pty.slavePath());
    ASSERT_FALSE(com.name().empty());

    auto child = winePrefix().startWindowsProgram(COM_ECHO_EXE, {com.name()});

    const auto ascending = everyByteValue(false);
    std::vector<uint8_t> fromWindows = pty.read(kByteValues, kStartAndSendTimeout);
    EXPECT_EQ(fromWindows, ascending) << "missing:" << missingValues(ascending, fromWindows);

    // Descending, XON (0x11) comes after XOFF (0x13): a line that still
    // obeys them stops the echo for good instead of losing two bytes.
    const auto descending = everyByteValue(true);
    ASSERT_TRUE(pty.write(descending));
    std::vector<uint8_t> echoed = pty.read(kByteValues, kEchoTimeout);
    EXPECT_EQ(echoed, descending) << "missing:" << missingValues(descending, echoed);

    ProcessResult r = toUnixLineEnds(child->finish(kRunTimeout));
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.out, "received 256 bytes\n");

    termios line{};
    ASSERT_EQ(tcgetattr(pty.slave(), &line), 0);
    EXPECT_EQ(cfgetospeed(&line), B115200) << "the speed the program set is what the line runs at";
}
