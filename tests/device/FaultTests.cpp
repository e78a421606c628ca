// A monitor that fails in the middle of a firmware update: every command
// of the update, dropped or answered wrongly, must end the run as failed,
// within bounds, and never with a success message.
#include <gtest/gtest.h>

#include "DeviceExpect.h"
#include "NativeDeviceSuites.h"

using namespace std::chrono_literals;

namespace {

constexpr unsigned kBlocks = 4;

struct Fault {
    std::string name;
    sim::LinkMode link = sim::LinkMode::Usb;
    sim::FaultPlan plan;
};

Fault dropped(char letter, unsigned nth, sim::LinkMode link = sim::LinkMode::Usb)
{
    Fault f{std::string("no answer to ") + letter + " #" + std::to_string(nth), link, {}};
    f.plan.noAnswerAt[letter] = nth;
    return f;
}

Fault wrong(char letter, unsigned nth)
{
    Fault f{std::string("wrong answer to ") + letter + " #" + std::to_string(nth), sim::LinkMode::Usb, {}};
    f.plan.wrongLetterAt[letter] = nth;
    return f;
}

// Runs -f on a small image under `fault`; the run must fail cleanly.
void expectFailedUpdate(const LauncherParam& launcher, const Fault& fault, std::chrono::milliseconds bound)
{
    SCOPED_TRACE(fault.name);
    DeviceHarness h(launcher.make());
    sim::SimOptions options;
    options.link = fault.link;
    options.faults = fault.plan;
    h.startSim(options);
    std::string file = writeFirmware(h, "f.fw", patternBytes(64 * kBlocks, 70));
    ProcessResult r = h.runOnPort({"-f", file}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_TRUE(endsWith(r.err, "\nSAM-BA operation failed\n")) << r.err;
    EXPECT_EQ(r.out.find("Firmware update OK"), std::string::npos) << r.out;
    EXPECT_LT(r.elapsed, bound);
}

} // namespace

// Word reads: 6 to connect and check the chip, the 7th reads the installed
// type, the 8th the board. Per block: S, Y source, Y destination.
TEST_P(FaultTest, DroppedAnswersFailTheUpdate)
{
    for (const Fault& f : {dropped('w', 7), dropped('w', 8), dropped('X', 1), dropped('x', 1),
                           dropped('Y', 1), dropped('Y', 2), dropped('Y', 2 * kBlocks), dropped('Z', 1),
                           dropped('Z', 3)})
        expectFailedUpdate(GetParam(), f, 15s);
}

TEST_P(FaultTest, WrongAnswersFailTheUpdate)
{
    for (const Fault& f : {wrong('X', 1), wrong('x', 1), wrong('Y', 1), wrong('Y', 4), wrong('Z', 2)})
        expectFailedUpdate(GetParam(), f, 10s);
}

TEST_P(FaultTest, BlockTransferFailures)
{
    Fault hangup{"hang-up after 2 blocks", sim::LinkMode::Usb, {}};
    hangup.plan.hangupAfterBlocks = 2;
    expectFailedUpdate(GetParam(), hangup, 15s);

    Fault serialHangup{"serial hang-up after 2 blocks", sim::LinkMode::Serial, {}};
    serialHangup.plan.hangupAfterBlocks = 2;
    expectFailedUpdate(GetParam(), serialHangup, 15s);

    Fault noC{"receiver never asks", sim::LinkMode::Serial, {}};
    noC.plan.neverSendC = true;
    expectFailedUpdate(GetParam(), noC, 20s);

    Fault fiveNaks{"five NAKs", sim::LinkMode::Serial, {}};
    fiveNaks.plan.nakFirstBlocks = 5;
    expectFailedUpdate(GetParam(), fiveNaks, 20s);

    expectFailedUpdate(GetParam(), dropped('Y', 3, sim::LinkMode::Serial), 15s);
}

TEST_P(FaultTest, FourNaksPerBlockStillSucceed)
{
    sim::SimOptions options;
    options.link = sim::LinkMode::Serial;
    options.faults.nakFirstBlocks = 4;
    h().startSim(options);
    std::vector<uint8_t> plain = patternBytes(64 * kBlocks, 71);
    std::string file = writeFirmware(h(), "f.fw", plain);
    ProcessResult r = h().runOnPort({"-f", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("\tFirmware update OK\n"), std::string::npos);
    EXPECT_EQ(flashRange(h().adapter().flashSnapshot(), 0x1000, plain.size()), plain);
}
