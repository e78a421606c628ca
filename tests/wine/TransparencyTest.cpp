// Every byte value crosses the Windows program's COM port unchanged, both
// ways. The pseudo-terminal keeps the kernel's default line settings (XON/
// XOFF, CR/LF mapping, echo, canonical input), as a driver with such
// defaults would: only what the port sets itself makes the line binary.
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PtyPair.h"
#include "WineEnvironment.h"

namespace {

using namespace std::chrono_literals;

constexpr int kByteValues = 256;
constexpr auto kStartAndSendTimeout = 30s;  // includes wine's start
constexpr auto kEchoTimeout = 10s;
constexpr auto kRunTimeout = 60s;

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
