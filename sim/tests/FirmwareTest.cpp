// mkfw and the monitor agree: a file built from a plain image, programmed
// block by block as the tool does it, leaves the plain image in flash and a
// checksum equal to the file's.
#include <cstring>

#include "FwCodec.h"
#include "Mkfw.h"
#include "SimFixture.h"

namespace {

constexpr size_t kHeader = 48;

uint32_t le32(const std::vector<uint8_t>& f, size_t at) {
    return uint32_t(f[at]) | uint32_t(f[at + 1]) << 8 | uint32_t(f[at + 2]) << 16 | uint32_t(f[at + 3]) << 24;
}

sim::MkfwResult build(const std::vector<uint8_t>& plain, const sim::MkfwOptions& o = {}) {
    sim::MkfwResult r;
    std::string error;
    EXPECT_TRUE(sim::mkfwBuild(plain, o, r, error)) << error;
    return r;
}

TEST(FwCodec, ChecksumAndCipherBasics) {
    const std::string check = "123456789";
    EXPECT_EQ(sim::fwCrc32(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0xCBF43926u);
    for (uint32_t a : {0x1000u, 0x1001u, 0x1EFFFu}) {
        EXPECT_EQ(sim::fwCipherByte(a, sim::fwCipherByte(a, 0x5A)), 0x5A);
    }
    EXPECT_EQ(sim::fwCipherByte(0xFFF, 0x5A), 0x5A);
    EXPECT_EQ(sim::fwCipherByte(0x1F000, 0x5A), 0x5A);
    // A cipher that leaves most bytes alone would hide a missing decipher step.
    int changed = 0;
    for (uint32_t a = 0x1000; a < 0x1100; ++a) changed += sim::fwCipherByte(a, 0) != 0;
    EXPECT_GT(changed, 240);
}

TEST(Mkfw, HeaderPayloadAndTrailingSumAreLaidOutForTheFileCheck) {
    sim::MkfwOptions o;
    o.signature = "QVLC";
    o.swVersion = 0x0210;
    o.pcbVersions = {0x0102, 0x02FF};
    o.settingsHandling = 1;
    const std::vector<uint8_t> plain = patternBytes(100, 4);
    const sim::MkfwResult r = build(plain, o);
    const std::vector<uint8_t>& f = r.file;
    ASSERT_EQ(r.payloadSize, 128u);  // padded to whole blocks
    ASSERT_EQ(f.size(), kHeader + 128 + 4);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "QVLC");
    EXPECT_EQ(f[4] | f[5] << 8, 0x0210);
    EXPECT_EQ(le32(f, 8), 0x1000u);
    EXPECT_EQ(le32(f, 12), 128u);
    EXPECT_EQ(le32(f, 16), r.plainChecksum);
    EXPECT_EQ(f[31], 1);
    EXPECT_EQ(f[32] | f[33] << 8, 0x0102);
    EXPECT_EQ(f[34] | f[35] << 8, 0x02FF);
    EXPECT_EQ(f[36] | f[37] << 8, 0);
    EXPECT_EQ(le32(f, kHeader + 128), sim::fwByteSum(f.data() + kHeader, 128));
    EXPECT_NE(std::memcmp(f.data() + kHeader, plain.data(), plain.size()), 0);  // enciphered
    std::vector<uint8_t> padded = plain;
    padded.resize(128, 0xFF);
    EXPECT_EQ(r.plainChecksum, sim::fwCrc32(padded.data(), padded.size()));
}

TEST(Mkfw, FaultOptionsAndLimits) {
    const std::vector<uint8_t> plain = patternBytes(64, 5);
    sim::MkfwOptions o;
    const uint32_t good = build(plain, o).plainChecksum;
    o.wrongPlainChecksum = true;
    EXPECT_NE(le32(build(plain, o).file, 16), good);
    o = {};
    o.truncateTo = 40;
    EXPECT_EQ(build(plain, o).file.size(), 40u);
    o = {};
    o.signature = "AB";
    const std::vector<uint8_t> shortSig = build(plain, o).file;
    EXPECT_EQ(std::string(shortSig.begin(), shortSig.begin() + 4), std::string("AB\0\0", 4));

    sim::MkfwResult r;
    std::string error;
    o = {};
    o.pcbVersions.assign(9, 0x0101);
    EXPECT_FALSE(sim::mkfwBuild(plain, o, r, error));
    o = {};
    o.settingsHandling = 2;
    o.settingsImage.assign(4097, 0);
    EXPECT_FALSE(sim::mkfwBuild(plain, o, r, error));
    o = {};
    o.wholeArea = true;
    EXPECT_FALSE(sim::mkfwBuild(patternBytes(0x1E001, 5), o, r, error));
    EXPECT_TRUE(sim::mkfwBuild(patternBytes(0x1E000, 5), o, r, error)) << error;
    o.loadAddress = 0x1F000;
    EXPECT_FALSE(sim::mkfwBuild(plain, o, r, error));
}

TEST(Mkfw, EmptyImageGivesAnEmptyPayloadWithZeroSum) {
    const sim::MkfwResult r = build({});
    EXPECT_EQ(r.payloadSize, 0u);
    EXPECT_EQ(r.file.size(), kHeader + 4);
    EXPECT_EQ(le32(r.file, kHeader), 0u);
}

class FirmwareRoundTrip : public SimFixture {
protected:
    // The tool's firmware write: erase, x#, then each 64-byte block staged in
    // RAM and programmed; `extra` bytes after the payload follow the same way.
    void flashLikeTheTool(PtyClient& c, const std::vector<uint8_t>& file, uint32_t total, bool keepSettings) {
        ASSERT_EQ(c.command(keepSettings ? "X00001000,1#" : "X00001000,0#", 3), "X\n\r");
        ASSERT_EQ(c.command("x#", 3), "x\n\r");
        for (uint32_t pc = 0; pc < total; pc += 64) {
            std::vector<uint8_t> block(file.begin() + kHeader + pc, file.begin() + kHeader + pc + 64);
            c.writeRaw(0x20000000, block);
            ASSERT_TRUE(c.program(0x1000 + pc, 64)) << "block at " << pc;
        }
    }
    uint32_t monitorChecksum(PtyClient& c, uint32_t addr, uint32_t len) {
        const std::string z = c.command("Z" + hex8(addr) + "," + hex8(len) + "#", 9);
        return static_cast<uint32_t>(std::stoul(z.substr(1), nullptr, 16));
    }
};

TEST_F(FirmwareRoundTrip, FlashHoldsThePlainImageAndChecksumsMatchTheFile) {
    PtyClient& c = startSim();
    const std::vector<uint8_t> plain = patternBytes(0x2000, 9);
    for (bool wholeArea : {false, true}) {
        SCOPED_TRACE(wholeArea ? "whole area" : "as given");
        sim::MkfwOptions o;
        o.wholeArea = wholeArea;
        o.firmwareWord = 0x01000106;
        o.typeLetter = 'C';
        const sim::MkfwResult r = build(plain, o);
        EXPECT_EQ(r.payloadSize, wholeArea ? 0x1E000u : 0x2000u);
        const std::vector<uint8_t> before = adapter().flashSnapshot();
        const std::vector<uint8_t> settingsBefore(before.begin() + 0x1F000, before.end());
        flashLikeTheTool(c, r.file, r.payloadSize, true);
        EXPECT_EQ(monitorChecksum(c, 0x1000, r.payloadSize), le32(r.file, 16));
        EXPECT_EQ(monitorChecksum(c, 0x1000, 0x1E000), r.areaChecksum);
        const std::vector<uint8_t> flash = adapter().flashSnapshot();
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), flash.begin() + 0x1000));
        EXPECT_TRUE(std::equal(settingsBefore.begin(), settingsBefore.end(), flash.begin() + 0x1F000));
        EXPECT_EQ(le32(flash, 0x1EFF0), wholeArea ? 0x01000106u : 0xFFFFFFFFu);
        EXPECT_EQ(le32(flash, 0x1EFF4), wholeArea ? 0x4300u : 0xFFFFFFFFu);
    }
}

TEST_F(FirmwareRoundTrip, WithoutThePrepareCommandFlashKeepsTheCipherText) {
    PtyClient& c = startSim();
    const sim::MkfwResult r = build(patternBytes(64, 10));
    c.command("X00001000,1#", 3);
    c.writeRaw(0x20000000, std::vector<uint8_t>(r.file.begin() + kHeader, r.file.begin() + kHeader + 64));
    ASSERT_TRUE(c.program(0x1000, 64));
    EXPECT_NE(monitorChecksum(c, 0x1000, 64), r.plainChecksum);
}

TEST_F(FirmwareRoundTrip, ResetEndsDeciphering) {
    PtyClient& c = startSim();
    const sim::MkfwResult r = build(patternBytes(64, 11));
    c.command("x#", 3);
    c.send("WE000ED0C,05FA0004#");
    c.command("X00001000,1#", 3);
    c.writeRaw(0x20000000, std::vector<uint8_t>(r.file.begin() + kHeader, r.file.begin() + kHeader + 64));
    ASSERT_TRUE(c.program(0x1000, 64));
    EXPECT_NE(monitorChecksum(c, 0x1000, 64), r.plainChecksum);
}

TEST_F(FirmwareRoundTrip, SettingsTailOfAFullImageLandsInTheSettingsAreaAsSent) {
    PtyClient& c = startSim();
    const std::vector<uint8_t> plain = patternBytes(0x1E000, 12);
    sim::MkfwOptions o;
    o.settingsHandling = 2;
    o.settingsImage = patternBytes(4096, 13);
    const sim::MkfwResult r = build(plain, o);
    ASSERT_EQ(r.file.size(), kHeader + 0x1E000 + 4096);
    flashLikeTheTool(c, r.file, r.payloadSize + 0x1000, false);
    EXPECT_EQ(monitorChecksum(c, 0x1000, r.payloadSize + 0x1000), r.plainChecksum);
    const std::vector<uint8_t> flash = adapter().flashSnapshot();
    EXPECT_EQ(le32(flash, 0x1F000), le32(r.file, kHeader + 0x1E000));  // the trailing sum comes first
    EXPECT_TRUE(std::equal(o.settingsImage.begin(), o.settingsImage.begin() + 4092, flash.begin() + 0x1F004));
}

TEST_F(FirmwareRoundTrip, SettingsTailOfAShortImageIsDecipheredLikeThePayload) {
    PtyClient& c = startSim();
    sim::MkfwOptions o;
    o.settingsHandling = 2;
    const sim::MkfwResult r = build(patternBytes(0x800, 14), o);
    flashLikeTheTool(c, r.file, r.payloadSize + 0x1000, false);
    EXPECT_EQ(monitorChecksum(c, 0x1000, r.payloadSize + 0x1000), r.plainChecksum);
    EXPECT_EQ(monitorChecksum(c, 0x1000, 0x1E000), r.areaChecksum);
}

}  // namespace
