// The device road end to end: port choice, chip check, link modes, the
// fixed order of the blocks, and the identity block at its edges.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DeviceExpect.h"
#include "NativeDeviceSuites.h"

using namespace std::chrono_literals;

namespace {

const std::string kNoAnswer = "The port opened but the adapter's boot monitor did not answer: is this the "
                              "adapter's port, and is the adapter plugged in and in its boot monitor?\n";

} // namespace

TEST_P(DeviceRoadTest, PortWithNothingBehindIt)
{
    std::string missing = h().launcher().portName("/dev/pelago-no-such-port");
    ProcessResult r = h().run({"-p", missing, "-i"}, 20s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("Try to open USB device ... No device found on " + missing + "\n"), 0u) << r.err;
    EXPECT_TRUE(endsWith(r.err, "\n") && r.err.find("does not exist") != std::string::npos) << r.err;

    // A terminal that opens but never answers: both attempts time out.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string silent = h().launcher().portName(ptsname(master));
    r = h().run({"-p", silent, "-i"}, 20s);
    close(master);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + silent + "\n" + kNoAnswer);
    EXPECT_LT(r.elapsed, 5s);
}

TEST_P(DeviceRoadTest, AnotherChipIsNotTakenForTheAdapter)
{
    sim::SimOptions options;
    options.deviceId = 0x1001030A;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 20s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + h().port() + "\n" + kNoAnswer);
    EXPECT_EQ(countCommands(h(), "V#"), 2u) << "both attempts must have judged the chip";
}

TEST_P(DeviceRoadTest, SerialLinkConnectsOnTheSecondAttemptWithAutoBaud)
{
    sim::SimOptions options;
    options.link = sim::LinkMode::Serial;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "Try to open USB device ... ");
    EXPECT_EQ(maskTimes(r.out).find("\nBootloader Version: "), 0u) << r.out;
    EXPECT_TRUE(endsWith(maskTimes(r.out), "ADJ=127\ndone in T seconds\n")) << r.out;
    EXPECT_EQ(h().adapter().sessionCount(), 2u) << "the USB attempt must have come first";
    EXPECT_LT(r.elapsed, 10s);
}

TEST_P(DeviceRoadTest, BlocksRunInFixedOrderAndAnAbortStopsTheRest)
{
    h().startSim();
    std::string file = h().path("user.dat");
    writeFile(file, patternBytes(0x1000, 3));
    ProcessResult r = h().runOnPort({"-i", "-R", "-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    std::string out = maskTimes(r.out);
    size_t settings = out.find("Clearing adapter setting");
    size_t info = out.find("Bootloader Version");
    size_t reset = out.find("CPU reset.");
    EXPECT_LT(settings, info);
    EXPECT_LT(info, reset);
    EXPECT_NE(reset, std::string::npos);

    unsigned resets = h().adapter().resetCount();
    r = h().runOnPort({"-i", "-R", "-u", h().path("missing.dat")}, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nFailed in opening adapter setting file " + h().path("missing.dat") + ", abort\n");
    EXPECT_EQ(h().adapter().resetCount(), resets);
}

TEST_P(InfoTest, BlankFlashPrintsAllOnes)
{
    sim::SimOptions options;
    options.blank = true;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out), infoBlock(std::string(8, '\xFF'), "0xFFFF", "0xFFFF", "0xFF", 255, 255,
                                          std::string(1, '\xFF'), 255));
}

TEST_P(InfoTest, SerialNumberEndsAtItsFirstZeroByteAndAdjIsUnsigned)
{
    sim::SimOptions options;
    options.identity.serialNumber = std::string("QE\0" "45678", 8);
    options.identity.adjWord = 0xFF00;
    options.identity.firmwareWord = 0xFFFE0001;
    options.identity.typeWord = 0x43FF;
    options.identity.pcbVersion = 0x0A0B;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out), infoBlock("QE", "0x0A0B", "0x0001", "0xFE", 255, 255, "C", 255));
}
