// The firmware block end to end: the settings-handling byte, the matching
// rules, -I, and every refusal, which must leave the adapter unerased.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <cstdio>

#include "DeviceExpect.h"
#include "FwCodec.h"
#include "NativeDeviceSuites.h"

using namespace std::chrono_literals;

namespace {

const std::string kTypeRefusal = "Firmware type does not match adapter, unable to update, abort\n";
const std::string kPcbRefusal = "Adapter PCB version doesn't match, unable to update, abort\n";
const std::string kInstalledRefusal = "Not Quorvane EF/GFX or CONTAX645/GFX adapter, unable to update, abort\n";

sim::SimOptions board(uint8_t letter, uint16_t pcb)
{
    sim::SimOptions options;
    options.identity.boardLetter = letter;
    options.identity.pcbVersion = pcb;
    return options;
}

sim::MkfwOptions firmware(const std::string& signature, std::vector<uint16_t> pcbs)
{
    sim::MkfwOptions options;
    options.signature = signature;
    options.pcbVersions = std::move(pcbs);
    return options;
}

// Runs -f (with `extra` options) and checks a refusal that erased nothing.
void expectRefused(DeviceHarness& h, const std::string& file, const std::string& out,
                   std::vector<std::string> extra = {}, const std::string& err = "")
{
    extra.insert(extra.end(), {"-f", file});
    ProcessResult r = h.runOnPort(extra, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(maskTimes(r.out), out);
    EXPECT_EQ(r.err, "Try to open USB device ... " + err);
    EXPECT_EQ(countCommands(h, "X"), 0u);
    EXPECT_EQ(countCommands(h, "S"), 0u);
    EXPECT_FALSE(h.adapter().resetSeen());
}

// Runs -f (with `extra`) on a small image and checks that it was written.
void expectAccepted(DeviceHarness& h, const std::string& file, std::vector<std::string> extra = {})
{
    extra.insert(extra.end(), {"-f", file});
    ProcessResult r = h.runOnPort(extra, 30s);
    EXPECT_EQ(r.exitStatus, 0) << r.out;
    EXPECT_NE(r.out.find("\tFirmware update OK\n"), std::string::npos) << r.out;
}

} // namespace

TEST_P(FirmwareTest, SettingsHandlingOneErasesTheSettingsAndWritesOnlyThePayload)
{
    h().startSim();
    std::vector<uint8_t> plain = patternBytes(64 * 5, 21);
    sim::MkfwOptions options;
    options.settingsHandling = 1;
    std::string file = writeFirmware(h(), "h1.fw", plain, options);
    ProcessResult r = h().runOnPort({"-f", file}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<uint8_t> flash = h().adapter().flashSnapshot();
    EXPECT_EQ(maskTimes(r.out), firmwareUpdateOutput(5, sim::fwCrc32(flash.data() + 0x1000, 0x1E000),
                                                     sim::fwCrc32(flash.data() + 0x1F000, 0x1000), true,
                                                     backupLine(h())));
    EXPECT_EQ(h().commands("X"), std::vector<std::string>{"X00001000,0#"});
    EXPECT_EQ(flashRange(flash, 0x1F000, 0x1000), std::vector<uint8_t>(0x1000, 0xFF));
    EXPECT_EQ(flashRange(flash, 0x1000, plain.size()), plain);

    // The log: erase, x#, then per block S, Y source, Y destination.
    std::vector<std::string> log = h().adapter().commandLog();
    auto erase = std::find(log.begin(), log.end(), "X00001000,0#");
    ASSERT_NE(erase, log.end());
    ASSERT_EQ(*(erase + 1), "x#");
    for (int k = 0; k < 5; ++k) {
        char dest[32];
        std::snprintf(dest, sizeof dest, "Y%08X,00000040#", 0x1000 + 64 * k);
        auto block = erase + 2 + 3 * k;
        EXPECT_EQ(*block, "S20000000,00000040#");
        EXPECT_EQ(*(block + 1), "Y20000000,0#");
        EXPECT_EQ(*(block + 2), dest);
    }
}

TEST_P(FirmwareTest, SettingsHandlingTwoWritesTheSettingsAfterAFullPayload)
{
    h().startSim();
    std::vector<uint8_t> plain = patternBytes(0x1E000, 22);
    sim::MkfwOptions options;
    options.settingsHandling = 2;
    options.settingsImage = patternBytes(4092, 23);
    std::string file = writeFirmware(h(), "h2.fw", plain, options);
    std::vector<uint8_t> fileBytes = readFile(file);
    ProcessResult r = h().runOnPort({"-f", file}, 120s);
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<uint8_t> flash = h().adapter().flashSnapshot();
    EXPECT_EQ(maskTimes(r.out), firmwareUpdateOutput(1984, sim::fwCrc32(flash.data() + 0x1000, 0x1E000),
                                                     sim::fwCrc32(flash.data() + 0x1F000, 0x1000), true,
                                                     backupLine(h())));
    EXPECT_EQ(h().commands("X"), std::vector<std::string>{"X00001000,0#"});
    EXPECT_TRUE(flashRange(flash, 0x1000, 0x1E000) == plain);
    // The settings area holds the file's bytes from its trailing sum on.
    std::vector<uint8_t> tail(fileBytes.begin() + 48 + 0x1E000, fileBytes.begin() + 48 + 0x1F000);
    EXPECT_TRUE(flashRange(flash, 0x1F000, 0x1000) == tail);
    std::vector<std::string> ys = h().commands("Y0001F");
    ASSERT_EQ(ys.size(), 64u);
    EXPECT_EQ(ys.front(), "Y0001F000,00000040#");
    EXPECT_EQ(ys.back(), "Y0001FFC0,00000040#");
}

TEST_P(FirmwareTest, TypeMustMatchTheBoardUnlessTheBoardIsBlank)
{
    std::vector<uint8_t> plain = patternBytes(128, 30);
    struct Case {
        uint8_t letter;
        const char* signature;
        bool accepted;
    };
    for (Case c : {Case{'E', "QVLC", false}, Case{'C', "QVLE", false}, Case{'X', "QVLE", false},
                   Case{'X', "QVLC", false}, Case{0xFF, "QVLE", true}, Case{0xFF, "QVLC", true},
                   Case{'C', "QVLC", true}}) {
        SCOPED_TRACE(std::string(1, char(c.letter)) + " " + c.signature);
        DeviceHarness local(GetParam().make());
        local.startSim(board(c.letter, 0x0102));
        std::string file = writeFirmware(local, "t.fw", plain, firmware(c.signature, {0x0102}));
        if (c.accepted)
            expectAccepted(local, file);
        else
            expectRefused(local, file, "\n" + kTypeRefusal);
    }
}

TEST_P(FirmwareTest, PcbVersionMatchesExactlyOrByItsHighByte)
{
    std::vector<uint8_t> plain = patternBytes(64, 31);
    struct Case {
        uint16_t pcb;
        std::vector<uint16_t> entries;
        bool accepted;
    };
    for (const Case& c : {Case{0x0102, {0x0102}, true}, Case{0x0102, {0x0103, 0x01FF}, true},
                          Case{0x0102, {0x0103, 0x02FF, 0, 0, 0, 0, 0, 0x0101}, false},
                          Case{0xFF00, {0xFFFF}, true}, Case{0xFEFF, {0xFFFF}, false},
                          Case{0x0102, {0, 0, 0, 0, 0, 0, 0, 0x0102}, true}}) {
        SCOPED_TRACE(c.pcb);
        DeviceHarness local(GetParam().make());
        local.startSim(board('E', c.pcb));
        std::string file = writeFirmware(local, "p.fw", plain, firmware("QVLE", c.entries));
        if (c.accepted)
            expectAccepted(local, file);
        else
            expectRefused(local, file, "\n" + kPcbRefusal);
    }
}

TEST_P(FirmwareTest, InstalledTypeMustBeKnownUnlessForcedAndForceSkipsNothingElse)
{
    // Only an erased application area (type 0xFF) is what an interrupted
    // update leaves; any other unknown type gets the refusal alone.
    {
        DeviceHarness other(GetParam().make());
        sim::SimOptions foreign = board('E', 0x0102);
        foreign.identity.typeWord = 0x5800;  // 'X'
        other.startSim(foreign);
        expectRefused(other, writeFirmware(other, "good.fw", patternBytes(64, 31), firmware("QVLE", {0x0102})),
                      kInstalledRefusal);
    }
    sim::SimOptions options = board('E', 0x0102);
    options.identity.typeWord = 0xFF00;
    h().startSim(options);
    std::vector<uint8_t> plain = patternBytes(64, 32);
    std::string good = writeFirmware(h(), "good.fw", plain, firmware("QVLE", {0x0102}));
    std::string wrongType = writeFirmware(h(), "c.fw", plain, firmware("QVLC", {0x0102}));
    std::string wrongPcb = writeFirmware(h(), "pcb.fw", plain, firmware("QVLE", {0x0103}));
    std::string invalid = h().path("invalid.fw");
    writeFile(invalid, {'Q', 'V', 'L'});

    expectRefused(h(), good, kInstalledRefusal, {},
                  "The adapter has no firmware (an interrupted update?); install " + good +
                      " anyway with: PelagoXcon -p " + h().port() + " -I -f " + good + "\n");
    expectRefused(h(), invalid, "\nInvalid firmware " + invalid + ", abort\ndone in T seconds\n", {"-I"});
    expectRefused(h(), wrongType, "\n" + kTypeRefusal, {"-I"});
    expectRefused(h(), wrongPcb, "\n" + kPcbRefusal, {"-I"});
    expectAccepted(h(), good, {"-I"});
}

TEST_P(FirmwareTest, UnusableFilesAreRefusedBeforeAnyErase)
{
    h().startSim();
    std::string missing = h().path("missing.fw");
    expectRefused(h(), missing, "\nFailed in opening firmware file " + missing + ", abort\n");

    std::string invalid = h().path("invalid.fw");
    std::vector<uint8_t> bytes = makeFirmware(patternBytes(128, 40));
    bytes[48] ^= 1;  // the trailing sum no longer matches
    writeFile(invalid, bytes);
    // An invalid file fails the run, and the reset asked for does not follow.
    expectRefused(h(), invalid, "\nInvalid firmware " + invalid + ", abort\ndone in T seconds\n", {"-R"});

    std::string tooLong = writeFirmware(h(), "long.fw", patternBytes(0x1E040, 41));
    expectRefused(h(), tooLong, "\nInvalid firmware " + tooLong + ", abort\ndone in T seconds\n");

    sim::MkfwOptions withSettings;
    withSettings.settingsHandling = 2;
    std::vector<uint8_t> full = makeFirmware(patternBytes(128, 42), withSettings);
    std::string cut = h().path("cut.fw");
    writeFile(cut, std::vector<uint8_t>(full.begin(), full.end() - 1));
    expectRefused(h(), cut, "\nFirmware " + cut + " lacks the adapter setting data, abort\ndone in T seconds\n");
}

TEST_P(FirmwareTest, FailedVerificationStillResetsButFailsTheRun)
{
    h().startSim();
    sim::MkfwOptions options;
    options.wrongPlainChecksum = true;
    std::string file = writeFirmware(h(), "bad.fw", patternBytes(64 * 3, 50), options);
    ProcessResult r = h().runOnPort({"-f", file, "-R"}, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    std::vector<uint8_t> flash = h().adapter().flashSnapshot();
    EXPECT_EQ(maskTimes(r.out), firmwareUpdateOutput(3, sim::fwCrc32(flash.data() + 0x1000, 0x1E000),
                                                     sim::fwCrc32(flash.data() + 0x1F000, 0x1000), false));
    EXPECT_EQ(h().adapter().resetCount(), 1u) << "the update resets, the -R block must not run";
    const std::string wayBack = "The adapter's firmware is erased or partly written; write it again with: "
                                "PelagoXcon -p " + h().port() + " -I -f " + file + "\n";
    EXPECT_EQ(r.err, "Try to open USB device ... " + wayBack);

    // A signal after the failure changes neither the status nor the words
    // (the way back named, -I, is taken: the failure left no firmware).
    Subprocess child(PELAGO_EXE, {"PelagoXcon", "-p", h().port(), "-I", "-f", file},
                     {"PELAGOXCON_BACKUP_DIR=" + h().backupDir()});
    child.stdoutOnTerminal();
    child.onOutput("Firmware update failed", [&] { child.sendSignal(SIGINT); });
    child.start();
    ProcessResult signalled = child.finish(30s);
    EXPECT_EQ(signalled.exitStatus, 1);
    EXPECT_EQ(signalled.err, "Try to open USB device ... " + wayBack);
}
