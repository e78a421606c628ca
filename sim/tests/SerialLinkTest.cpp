// The serial link: auto-baud, the XMODEM-CRC receiver, and reopening the port.
#include <chrono>

#include "SimFixture.h"
#include "Xmodem.h"

namespace {

constexpr char kSoh = 0x01, kEot = 0x04, kAck = 0x06, kNak = 0x15;
const std::string kAutoBaud = "\x80\x80#";

std::string xmodemBlock(uint8_t number, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> payload(data);
    payload.resize(128, 0x00);
    const uint16_t crc = sim::xmodemCrc16(payload.data(), payload.size());
    std::string blk{kSoh, char(number), char(255 - number)};
    blk.append(payload.begin(), payload.end());
    blk += char(crc >> 8);
    blk += char(crc & 0xFF);
    return blk;
}

class SerialLinkTest : public SimFixture {
protected:
    PtyClient& startSerial(sim::FaultPlan faults = {}) {
        sim::SimOptions o;
        o.link = sim::LinkMode::Serial;
        o.faults = faults;
        PtyClient& c = startSim(o);
        c.send(kAutoBaud);
        return c;
    }
    std::vector<uint8_t> ram(PtyClient& c, uint32_t offset, uint32_t n) {
        c.command("X0001F000,0#", 3);
        c.command("Y" + hex8(0x20000000 + offset) + ",0#", 3);
        c.command("Y0001F000," + hex8(n) + "#", 3);
        const auto flash = adapter().flashSnapshot();
        return {flash.begin() + 0x1F000, flash.begin() + 0x1F000 + n};
    }
};

TEST(XmodemCrc, MatchesTheStandardCheckValue) {
    const std::string check = "123456789";
    EXPECT_EQ(sim::xmodemCrc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x31C3);
}

TEST_F(SerialLinkTest, EverythingBeforeTheAutoBaudBytesIsIgnored) {
    sim::SimOptions o;
    o.link = sim::LinkMode::Serial;
    PtyClient& c = startSim(o);
    EXPECT_EQ(c.command("w00000000,4#", 4, 200), "");
    EXPECT_EQ(c.command("\x80#\x80V#", 255, 200), "");  // not the sequence
    c.send(kAutoBaud);
    EXPECT_EQ(c.readWord(0xE000ED00), 0x410CC601u);
    EXPECT_EQ(adapter().commandLog(), std::vector<std::string>{"wE000ED00,4#"});
}

TEST_F(SerialLinkTest, GoodBlockIsStoredWithoutItsFiller) {
    PtyClient& c = startSerial();
    c.send("W20000040,11111111#");
    c.send("S20000000,00000040#");
    ASSERT_EQ(c.receive(1), "C");
    const std::vector<uint8_t> data = patternBytes(64, 7);
    c.send(xmodemBlock(1, data));
    EXPECT_EQ(c.receive(1), std::string(1, kAck));
    c.send(std::string(1, kEot));
    EXPECT_EQ(c.receive(1), std::string(1, kAck));
    EXPECT_EQ(ram(c, 0, 64), data);
    EXPECT_EQ(c.readWord(0x20000040), 0x11111111u);
}

TEST_F(SerialLinkTest, BadCrcAndWrongBlockNumberAreRefusedThenTheRepeatIsTaken) {
    PtyClient& c = startSerial();
    c.send("S20000000,00000100#");
    ASSERT_EQ(c.receive(1), "C");
    const std::vector<uint8_t> first = patternBytes(128, 1), second = patternBytes(128, 2);

    std::string corrupt = xmodemBlock(1, first);
    corrupt[131] ^= 0x01;
    c.send(corrupt);
    EXPECT_EQ(c.receive(1), std::string(1, kNak));
    c.send(xmodemBlock(2, first));  // number out of order
    EXPECT_EQ(c.receive(1), std::string(1, kNak));
    std::string badComplement = xmodemBlock(1, first);
    badComplement[2] = 0x00;
    c.send(badComplement);
    EXPECT_EQ(c.receive(1), std::string(1, kNak));

    c.send(xmodemBlock(1, first));
    EXPECT_EQ(c.receive(1), std::string(1, kAck));
    c.send(xmodemBlock(1, first));  // our ACK "lost": acknowledged, not stored twice
    EXPECT_EQ(c.receive(1), std::string(1, kAck));
    c.send(xmodemBlock(2, second));
    EXPECT_EQ(c.receive(1), std::string(1, kAck));
    c.send(std::string(1, kEot));
    EXPECT_EQ(c.receive(1), std::string(1, kAck));

    std::vector<uint8_t> both(first);
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(ram(c, 0, 256), both);
}

TEST_F(SerialLinkTest, SilentSenderGetsAnotherCAfterASecond) {
    PtyClient& c = startSerial();
    c.send("S20000000,00000040#");
    ASSERT_EQ(c.receive(1), "C");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.receive(1, 2000), "C");
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(800));
}

TEST_F(SerialLinkTest, NakFaultRefusesTheFirstBlocksEvenWhenGood) {
    sim::FaultPlan f;
    f.nakFirstBlocks = 2;
    PtyClient& c = startSerial(f);
    c.send("S20000000,00000040#");
    ASSERT_EQ(c.receive(1), "C");
    const std::string blk = xmodemBlock(1, patternBytes(64, 3));
    for (char expected : {kNak, kNak, kAck}) {
        c.send(blk);
        EXPECT_EQ(c.receive(1), std::string(1, expected));
    }
}

TEST_F(SerialLinkTest, NeverSendCFaultKeepsTheReceiverQuiet) {
    sim::FaultPlan f;
    f.neverSendC = true;
    PtyClient& c = startSerial(f);
    c.send("S20000000,00000040#");
    EXPECT_EQ(c.receive(1, 1300), "");
}

TEST_F(SerialLinkTest, ReopenRequiresTheAutoBaudBytesAgain) {
    PtyClient& c = startSerial();
    EXPECT_EQ(c.command("w00000000,4#", 4).size(), 4u);
    c.close();
    PtyClient& again = reconnect();
    EXPECT_EQ(again.command("w00000000,4#", 4, 300), "");
    again.send(kAutoBaud);
    EXPECT_EQ(again.command("w00000000,4#", 4).size(), 4u);
    EXPECT_EQ(adapter().sessionCount(), 2u);
}

TEST_F(SerialLinkTest, UsbLinkKeepsServingAcrossManyReopens) {
    PtyClient& first = startSim();
    EXPECT_EQ(first.readWord(0xE000ED00), 0x410CC601u);
    first.close();
    for (int i = 0; i < 5; ++i) {
        PtyClient& c = reconnect();
        EXPECT_EQ(c.readWord(0xE000ED00), 0x410CC601u) << "reopen " << i;
        c.close();
    }
    EXPECT_TRUE(adapter().serving());
}

TEST_F(SerialLinkTest, CommandsOfAToolThatClosedAtOnceAreStillCarriedOut) {
    PtyClient& c = startSim();
    c.send("WE000ED0C,05FA0004#");
    c.close();
    for (int i = 0; i < 100 && !adapter().resetSeen(); ++i) reconnect().drain(10);
    EXPECT_TRUE(adapter().resetSeen());
}

}  // namespace
