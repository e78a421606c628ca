// End-to-end cases that hold for every build of the tool, native or under
// wine: the launcher is the suites' parameter, so another test program can
// instantiate them with its own.
#include <gtest/gtest.h>

#include "DeviceExpect.h"
#include "SharedDeviceSuites.h"
#include "FwCodec.h"

using namespace std::chrono_literals;

TEST_P(SharedCli, HelpGoesToStdoutWithStatusOne)
{
    ProcessResult r = h().run({"-h"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, expectedHelp(program()));
    EXPECT_EQ(r.err, "");
}

TEST_P(SharedCli, NoArgumentsPrintsBannerAndHint)
{
    ProcessResult r = h().run({});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "Quorvane EF/GFX and CONTAX645/GFX Adapter Firmware Updater 0.3\n\n");
    EXPECT_EQ(r.err, "You must specify at least one option\nTry '" + program() + " -h' or '" + program() +
                         " --help' for more information\n");
}

TEST_P(SharedConnect, PortAloneConnectsChecksTheChipAndSaysNothingMore)
{
    h().startSim();
    ProcessResult r = h().runOnPort({}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to open USB device ... ");
    EXPECT_FALSE(h().adapter().resetSeen());
}

TEST_P(SharedConnect, DroppedReplyInTheMiddleOfInfoFailsWithinSeconds)
{
    sim::SimOptions options;
    // Connecting and the chip check take six word reads; the 8th is the
    // info block's second one.
    options.faults.noAnswerAt['w'] = 8;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nBootloader Version: " + std::string(sim::SimOptions::kDefaultVersionText) + "\n");
    EXPECT_EQ(r.err, "Try to open USB device ... \nSAM-BA operation failed\n");
    EXPECT_LT(r.elapsed, 10s);
}

TEST_P(SharedInfo, PrintsTheIdentityBlockExactly)
{
    sim::SimOptions options;
    options.identity.firmwareWord = 0x12345678;
    options.identity.typeWord = 0x4502;
    options.identity.adjWord = 0x7F00;
    options.identity.serialNumber = "QE012345";
    options.identity.pcbVersion = 0x0102;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out), infoBlock("QE012345", "0x0102", "0x5678", "0x34", 18, 2, "E", 127));
    EXPECT_EQ(r.err, "Try to open USB device ... ");
}

TEST_P(SharedInfo, InfoThenResetInFixedOrder)
{
    h().startSim();
    for (auto args : {std::vector<std::string>{"-i", "-R"}, std::vector<std::string>{"-R", "-i"}}) {
        unsigned resetsBefore = h().adapter().resetCount();
        ProcessResult r = h().runOnPort(args, 30s);
        EXPECT_EQ(r.exitStatus, 0);
        std::string out = maskTimes(r.out);
        EXPECT_EQ(out.find("\nBootloader Version: "), 0u) << out;
        EXPECT_TRUE(endsWith(out, "done in T seconds\nCPU reset.\n")) << out;
        EXPECT_EQ(h().adapter().resetCount(), resetsBefore + 1);
    }
}

TEST_P(SharedFirmware, FullImageOverUsb)
{
    expectFullFirmwareUpdate(h(), sim::LinkMode::Usb);
}

TEST_P(SharedFirmware, FullImageOverSerial)
{
    expectFullFirmwareUpdate(h(), sim::LinkMode::Serial);
}

TEST_P(SharedSettings, SaveWritesTheAdaptersFourKilobytes)
{
    h().startSim();
    std::string file = h().path("saved.dat");
    ProcessResult r = h().runOnPort({"-s", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out), "\nAdapter setting saved to " + file + "\ndone in T seconds\n");
    std::vector<uint8_t> area = flashRange(h().adapter().flashSnapshot(), 0x1F000, 0x1000);
    EXPECT_EQ(readFile(file), area);
    EXPECT_EQ(h().commands("w0001F").size(), 1024u);
}

TEST_P(SharedSettings, UpdateWritesTheFileIntoTheSettingsArea)
{
    expectSettingsUpdate(h(), sim::LinkMode::Usb);
}
