// Windows side of the byte-transparency test: opens a COM port the way the
// tool does, sends every byte value once, then echoes back every byte value
// it receives. A line that still filters XON/XOFF, translates line ends or
// strips bit 7 loses or changes bytes, and the Linux side sees it.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "WinSerialPort.h"

namespace {

constexpr int kBaud = 115200;
constexpr int kDataBits = 8;
constexpr int kByteValues = 256;
constexpr int kReadTimeoutMs = 5000;

enum ExitCode { kPassed = 0, kUsage = 2, kOpenFailed = 3, kSendFailed = 4, kReceiveShort = 5, kEchoFailed = 6 };

int fail(ExitCode code, const char* what)
{
    std::fprintf(stderr, "ComEcho: %s\n", what);
    return code;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return fail(kUsage, "usage: ComEcho COMn");

    WinSerialPort port(argv[1], false);
    if (!port.open(kBaud, kDataBits, SerialPort::ParityNone, SerialPort::StopBitOne))
        return fail(kOpenFailed, "cannot open the port");
    port.timeout(kReadTimeoutMs);

    std::vector<uint8_t> all(kByteValues);
    for (int i = 0; i < kByteValues; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    if (port.write(all.data(), kByteValues) != kByteValues)
        return fail(kSendFailed, "sending all byte values failed");

    std::vector<uint8_t> received(kByteValues);
    int got = port.read(received.data(), kByteValues);
    if (got < 0)
        return fail(kReceiveShort, "read failed");
    if (got > 0 && port.write(received.data(), got) != got)
        return fail(kEchoFailed, "echo failed");
    std::printf("received %d bytes\n", got);
    port.close();
    return got == kByteValues ? kPassed : kReceiveShort;
}
