// The settings blocks end to end at their edges: long, short and missing
// files, saves that cannot be made, and the serial link.
#include <gtest/gtest.h>

#include <filesystem>

#include "DeviceExpect.h"
#include "FwCodec.h"
#include "NativeDeviceSuites.h"

using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> settingsArea(DeviceHarness& h)
{
    return flashRange(h.adapter().flashSnapshot(), 0x1F000, 0x1000);
}

} // namespace

TEST_P(SettingsTest, UpdateOverSerialLink)
{
    expectSettingsUpdate(h(), sim::LinkMode::Serial);
}

TEST_P(SettingsTest, UpdateUsesOnlyTheFirstFourKilobytesOfALongerFile)
{
    h().startSim();
    std::vector<uint8_t> bytes = patternBytes(0x1000 + 100, 60);
    std::string file = h().path("long.dat");
    writeFile(file, bytes);
    ProcessResult r = h().runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    bytes.resize(0x1000);
    EXPECT_EQ(maskTimes(r.out), settingsUpdateOutput(sim::fwCrc32(bytes.data(), bytes.size())));
    EXPECT_EQ(settingsArea(h()), bytes);
}

TEST_P(SettingsTest, UpdateRefusesMissingAndShortFilesBeforeErasing)
{
    h().startSim();
    std::vector<uint8_t> before = settingsArea(h());
    std::string missing = h().path("missing.dat");
    ProcessResult r = h().runOnPort({"-u", missing}, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nFailed in opening adapter setting file " + missing + ", abort\n");

    for (size_t size : {size_t(0), size_t(64), size_t(0xFFF)}) {
        std::string shortFile = h().path("short.dat");
        writeFile(shortFile, patternBytes(size, 61));
        r = h().runOnPort({"-u", shortFile}, 30s);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "\nAdapter setting file " + shortFile + " is shorter than 4096 bytes, abort\n");
    }
    EXPECT_EQ(countCommands(h(), "X"), 0u);
    EXPECT_EQ(countCommands(h(), "S"), 0u);
    EXPECT_EQ(settingsArea(h()), before);
}

TEST_P(SettingsTest, SaveThatCannotCreateItsFileFailsBeforeLaterBlocks)
{
    h().startSim();
    std::string file = h().path("no-such-dir/user.dat");
    ProcessResult r = h().runOnPort({"-s", file, "-f", "-R"}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(maskTimes(r.out), "\nFailed to create file " + file + " , abort\ndone in T seconds\n");
    EXPECT_FALSE(fileExists(file));
    EXPECT_FALSE(fileExists(file + ".tmp"));
    EXPECT_EQ(countCommands(h(), "X"), 0u);
    EXPECT_FALSE(h().adapter().resetSeen());

    // A target that cannot be replaced: the temporary file goes too.
    std::string dir = h().path("taken");
    std::filesystem::create_directories(dir + "/inside");
    r = h().runOnPort({"-s", dir}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(maskTimes(r.out), "\nFailed to create file " + dir + " , abort\ndone in T seconds\n");
    EXPECT_FALSE(fileExists(dir + ".tmp"));
    EXPECT_TRUE(fileExists(dir + "/inside"));

    // Nor may an empty directory in its place be taken away for the file.
    std::string empty = h().path("empty");
    std::filesystem::create_directories(empty);
    r = h().runOnPort({"-s", empty}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(maskTimes(r.out), "\nFailed to create file " + empty + " , abort\ndone in T seconds\n");
    EXPECT_TRUE(std::filesystem::is_directory(empty));
    EXPECT_FALSE(fileExists(empty + ".tmp"));
}

TEST_P(SettingsTest, SaveReplacesAnExistingFileOnlyWhenComplete)
{
    sim::SimOptions options;
    // Fail in the middle of the second save's 1024 reads: 6 reads to connect
    // and check the chip, 1024 for the first save, 6 again, then 500 more.
    options.faults.noAnswerAt['w'] = 6 + 1024 + 6 + 500;
    h().startSim(options);
    std::string file = h().path("user.dat");
    writeFile(file, std::vector<uint8_t>(10, 'x'));

    ProcessResult r = h().runOnPort({"-s", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    std::vector<uint8_t> saved = readFile(file);
    EXPECT_EQ(saved, settingsArea(h()));
    EXPECT_FALSE(fileExists(file + ".tmp"));

    r = h().runOnPort({"-s", file}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Try to open USB device ... \nSAM-BA operation failed\n");
    EXPECT_EQ(readFile(file), saved);
    EXPECT_FALSE(fileExists(file + ".tmp"));
}
