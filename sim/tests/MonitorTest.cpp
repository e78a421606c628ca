// The monitor's exchanges on the usb link: answers, their exact lengths,
// erase, buffered writes, checksums and faults.
#include <chrono>
#include <thread>

#include "FwCodec.h"
#include "SimFixture.h"

namespace {

constexpr uint32_t kRam = 0x20000000;

class MonitorTest : public SimFixture {};

TEST_F(MonitorTest, ChipIdentityPassesTheClientsChecksOnlyThroughTheRevisionMask) {
    PtyClient& c = startSim();
    EXPECT_NE(c.readWord(0) >> 24, 0xEAu);
    EXPECT_EQ(c.readWord(0xE000ED00) & 0xFFF0u, 0xC600u);
    const uint32_t did = c.readWord(0x41002018);
    EXPECT_NE(did, 0x1001030Bu);
    EXPECT_EQ(did & 0xFFFF0FFFu, 0x1001030Bu);
}

TEST_F(MonitorTest, AnswersHaveExactLengthsAndNothingIsLeftOver) {
    PtyClient& c = startSim();
    EXPECT_EQ(c.command("w00000FF4,4#", 4).size(), 4u);
    EXPECT_EQ(c.command("V#", 255, 200), std::string(sim::SimOptions::kDefaultVersionText) + "\n\r");
    EXPECT_EQ(c.command("X00001000,1#", 3), "X\n\r");
    EXPECT_EQ(c.command("Y20000000,0#", 3), "Y\n\r");
    EXPECT_EQ(c.command("Y00001000,00000040#", 3), "Y\n\r");
    EXPECT_EQ(c.command("x#", 3), "x\n\r");
    const std::string z = c.command("Z00001000,00000040#", 9);
    ASSERT_EQ(z.size(), 9u);
    EXPECT_EQ(z[0], 'Z');
    EXPECT_EQ(z.find_first_not_of("0123456789ABCDEF", 1), std::string::npos);
    c.send("W20000000,12345678#");
    EXPECT_EQ(c.drain(50), "");
    EXPECT_EQ(c.readWord(kRam), 0x12345678u);
}

TEST_F(MonitorTest, IdentityOptionsLandAtTheirAddresses) {
    sim::SimOptions o;
    o.blank = true;
    o.identity.pcbVersion = 0x0203;
    o.identity.boardLetter = 'C';
    o.identity.serialNumber = "AB";
    o.identity.firmwareWord = 0x12345678;
    o.identity.typeWord = 0x4502;
    o.identity.adjWord = 0xFF00;
    PtyClient& c = startSim(o);
    EXPECT_EQ(c.readWord(0xFF4), 0xFF430203u);
    EXPECT_EQ(c.readWord(0xFF8), 0x00004241u);  // short serial numbers are NUL-padded
    EXPECT_EQ(c.readWord(0xFFC), 0u);
    EXPECT_EQ(c.readWord(0x1EFF0), 0x12345678u);
    EXPECT_EQ(c.readWord(0x1EFF4), 0x4502u);
    EXPECT_EQ(c.readWord(0x1F188), 0xFF00u);
    EXPECT_EQ(c.readWord(0x1F18C), 0xFFFFFFFFu);  // blank elsewhere
}

TEST_F(MonitorTest, EraseDigitDecidesWhetherTheSettingsAreaSurvives) {
    PtyClient& c = startSim();
    const uint32_t monitorWord = c.readWord(0xFF4);
    ASSERT_NE(c.readWord(0x1EFF0), 0xFFFFFFFFu);
    ASSERT_NE(c.readWord(0x1F188), 0xFFFFFFFFu);

    EXPECT_EQ(c.command("X00001000,1#", 3), "X\n\r");
    EXPECT_EQ(c.readWord(0x1EFF0), 0xFFFFFFFFu);
    EXPECT_NE(c.readWord(0x1F188), 0xFFFFFFFFu);

    EXPECT_EQ(c.command("X0001F000,0#", 3), "X\n\r");
    EXPECT_EQ(c.readWord(0x1F188), 0xFFFFFFFFu);
    EXPECT_EQ(c.readWord(0xFF4), monitorWord);
}

TEST_F(MonitorTest, EraseDigitZeroFromTheApplicationStartClearsBothAreas) {
    PtyClient& c = startSim();
    EXPECT_EQ(c.command("X00001000,0#", 3), "X\n\r");
    const std::vector<uint8_t> flash = adapter().flashSnapshot();
    for (uint32_t a = 0x1000; a < flash.size(); ++a) ASSERT_EQ(flash[a], 0xFF) << std::hex << a;
}

TEST_F(MonitorTest, EraseRefusesTheMonitorAreaAndBadDigits) {
    PtyClient& c = startSim();
    const std::vector<uint8_t> before = adapter().flashSnapshot();
    EXPECT_EQ(c.command("X00000000,0#", 3), "?\n\r");
    EXPECT_EQ(c.command("X00020000,0#", 3), "?\n\r");
    EXPECT_EQ(c.command("X00001000,2#", 3), "?\n\r");
    EXPECT_EQ(adapter().flashSnapshot(), before);
}

TEST_F(MonitorTest, BufferedWriteProgramsTheStagedBlock) {
    PtyClient& c = startSim();
    c.command("X00001000,0#", 3);
    const std::vector<uint8_t> block = patternBytes(64, 1);
    c.writeRaw(kRam, block);
    ASSERT_TRUE(c.program(0x1F040, 64));
    const std::vector<uint8_t> flash = adapter().flashSnapshot();
    EXPECT_TRUE(std::equal(block.begin(), block.end(), flash.begin() + 0x1F040));
    EXPECT_EQ(flash[0x1F03F], 0xFF);
    EXPECT_EQ(flash[0x1F080], 0xFF);
}

TEST_F(MonitorTest, ProgrammingWithoutEraseOnlyClearsBits) {
    PtyClient& c = startSim();
    c.command("X0001F000,0#", 3);
    c.writeRaw(kRam, std::vector<uint8_t>(64, 0xF0));
    ASSERT_TRUE(c.program(0x1F000, 64));
    c.writeRaw(kRam, std::vector<uint8_t>(64, 0x3C));
    ASSERT_TRUE(c.program(0x1F000, 64));
    EXPECT_EQ(adapter().flashSnapshot()[0x1F000], 0x30);
}

TEST_F(MonitorTest, BufferedWriteRefusesBadRangesAndAMissingSource) {
    PtyClient& c = startSim();
    EXPECT_EQ(c.command("Y0001F000,00000040#", 3), "?\n\r");  // no phase 1 yet
    EXPECT_EQ(c.command("Y20000000,0#", 3), "Y\n\r");
    EXPECT_EQ(c.command("Y00000FC0,00000040#", 3), "?\n\r");  // the monitor's own area
    EXPECT_EQ(c.command("Y0001FFC0,00000080#", 3), "?\n\r");  // past the end of flash
    EXPECT_EQ(c.command("Y20000FC0,0#", 3), "Y\n\r");
    EXPECT_EQ(c.command("Y0001F000,00000080#", 3), "?\n\r");  // source past the end of RAM
}

TEST_F(MonitorTest, ChecksumIsOverTheNamedRangeAndRefusesRangesOutsideMemory) {
    PtyClient& c = startSim();
    const std::vector<uint8_t> flash = adapter().flashSnapshot();
    const uint32_t expected = sim::fwCrc32(flash.data() + 0x1F000, 0x1000);
    EXPECT_EQ(c.command("Z0001F000,00001000#", 9), "Z" + hex8(expected));
    EXPECT_EQ(c.command("Z0001F000,00001001#", 9)[0], '?');
    EXPECT_EQ(c.command("ZFFFFFFFF,00000002#", 9)[0], '?');  // address plus length wraps
    EXPECT_EQ(c.command("Z00001000,00000000#", 9), "Z00000000");
}

TEST_F(MonitorTest, ResetWriteIsSeenOnlyWithTheKey) {
    PtyClient& c = startSim();
    c.send("WE000ED0C,00000004#");
    c.readWord(0);  // a round trip, so the write before it has been handled
    EXPECT_FALSE(adapter().resetSeen());
    c.send("WE000ED0C,05FA0004#");
    c.readWord(0);
    EXPECT_EQ(adapter().resetCount(), 1u);
}

TEST_F(MonitorTest, CommandLogHoldsOneLinePerCommandAndEscapesJunk) {
    PtyClient& c = startSim();
    c.readWord(0x1000);
    c.writeRaw(kRam, {'#', '#', 'w'});  // raw data is not a command
    c.send(std::string("\x01q#"));
    c.readWord(0);
    EXPECT_EQ(adapter().commandLog(),
              (std::vector<std::string>{"w00001000,4#", "S20000000,00000003#", "\\x01q#", "w00000000,4#"}));
}

TEST_F(MonitorTest, OverlongGarbageIsDroppedAndTheNextCommandStillWorks) {
    PtyClient& c = startSim();
    c.send(std::string(500, 'A') + "#");
    EXPECT_EQ(c.readWord(0xE000ED00), 0x410CC601u);
}

// Faults

TEST_F(MonitorTest, NoAnswerFaultSilencesOnlyTheNthCommandOfItsLetter) {
    sim::SimOptions o;
    o.faults.noAnswerAt['w'] = 2;
    PtyClient& c = startSim(o);
    EXPECT_EQ(c.command("w00000000,4#", 4).size(), 4u);
    EXPECT_EQ(c.command("w00000000,4#", 4, 200).size(), 0u);
    EXPECT_EQ(c.command("w00000000,4#", 4).size(), 4u);
}

TEST_F(MonitorTest, WrongLetterFaultKeepsTheLength) {
    sim::SimOptions o;
    o.faults.wrongLetterAt['X'] = 1;
    PtyClient& c = startSim(o);
    EXPECT_EQ(c.command("X00001000,1#", 3), "!\n\r");
    EXPECT_EQ(c.command("X00001000,1#", 3), "X\n\r");
}

TEST_F(MonitorTest, SilentFromStopsAllAnswersMidway) {
    sim::SimOptions o;
    o.faults.silentFrom = 3;
    PtyClient& c = startSim(o);
    EXPECT_EQ(c.command("w00000000,4#", 4).size(), 4u);
    EXPECT_FALSE(c.command("V#", 255, 200).empty());
    EXPECT_EQ(c.command("w00000000,4#", 4, 200), "");
    EXPECT_EQ(c.command("V#", 255, 200), "");
}

TEST_F(MonitorTest, VersionFaults) {
    sim::SimOptions o;
    o.faults.noVersionAnswer = true;
    EXPECT_EQ(startSim(o).command("V#", 255, 200), "");
    TearDown();
    o = {};
    o.versionText = "v2.4 boot monitor";
    EXPECT_EQ(startSim(o).command("V#", 255, 200), "v2.4 boot monitor\n\r");
}

TEST_F(MonitorTest, AnotherChipIdIsServedAsGiven) {
    sim::SimOptions o;
    o.deviceId = 0x10010305;
    EXPECT_EQ(startSim(o).readWord(0x41002018), 0x10010305u);
}

TEST_F(MonitorTest, HangupFaultClosesTheLineAfterTheNthProgrammedBlock) {
    sim::SimOptions o;
    o.faults.hangupAfterBlocks = 2;
    PtyClient& c = startSim(o);
    c.command("X00001000,1#", 3);
    c.writeRaw(kRam, patternBytes(64, 2));
    ASSERT_TRUE(c.program(0x1000, 64));
    c.writeRaw(kRam, patternBytes(64, 3));
    EXPECT_TRUE(c.program(0x1040, 64));
    c.send("Z00001000,00000080#");
    EXPECT_TRUE(c.lineDead(2000));
    for (int i = 0; i < 200 && adapter().serving(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(adapter().serving());
}

TEST_F(MonitorTest, DataFaultsHitOnlyTheNthBlockOrAnswer) {
    sim::SimOptions o;
    o.faults.corruptWriteAt = 2;
    o.faults.strayByteAt['w'] = 2;
    PtyClient& c = startSim(o);
    c.command("X0001F000,0#", 3);
    const std::vector<uint8_t> block = patternBytes(64, 4);
    for (uint32_t dst : {0x1F000u, 0x1F040u, 0x1F080u}) {
        c.writeRaw(kRam, block);
        ASSERT_TRUE(c.program(dst, 64));
    }
    const std::vector<uint8_t> flash = adapter().flashSnapshot();
    EXPECT_EQ(flash[0x1F000], block[0]);
    EXPECT_EQ(flash[0x1F040], block[0] ^ 0x01);
    EXPECT_TRUE(std::equal(block.begin() + 1, block.end(), flash.begin() + 0x1F041));
    EXPECT_EQ(flash[0x1F080], block[0]);

    EXPECT_EQ(c.command("w00000000,4#", 4).size(), 4u);
    EXPECT_EQ(c.command("w00000000,4#", 5).size(), 5u);
    EXPECT_EQ(c.command("w00000000,4#", 4).size(), 4u);
    EXPECT_EQ(c.drain(50), "");
}

TEST_F(MonitorTest, ReplyDelayHoldsBackEveryAnswer) {
    sim::SimOptions o;
    o.faults.replyDelayMs = 60;
    PtyClient& c = startSim(o);
    const auto t0 = std::chrono::steady_clock::now();
    c.readWord(0);
    c.readWord(0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(120));
}

}  // namespace
