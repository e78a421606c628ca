// Files as the Windows runtime treats them: its rename does not replace an
// existing file, and text mode would turn 0x0A into 0x0D 0x0A.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "DeviceHarness.h"
#include "WineEnvironment.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSettingsArea = 0x1F000;
constexpr uint32_t kSettingsSize = 0x1000;

} // namespace

TEST(WindowsFiles, SaveReplacesAnExistingSettingsFileByteForByte)
{
    DeviceHarness h(std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE));
    h.startSim();
    std::string file = h.path("user.dat");
    writeFile(file, std::vector<uint8_t>(100, '\n'));

    ProcessResult r = h.runOnPort({"-s", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(readFile(file) == flashRange(h.adapter().flashSnapshot(), kSettingsArea, kSettingsSize));
    EXPECT_FALSE(fileExists(file + ".tmp"));
}

TEST(WindowsFiles, SettingsWithLineFeedsAndEndOfFileMarksArriveUnchanged)
{
    DeviceHarness h(std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE));
    h.startSim();
    std::vector<uint8_t> image(kSettingsSize);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = (i % 3 == 0) ? 0x0A : (i % 3 == 1) ? 0x1A : 0x0D;
    std::string file = h.path("crlf.dat");
    writeFile(file, image);

    ProcessResult r = h.runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(flashRange(h.adapter().flashSnapshot(), kSettingsArea, kSettingsSize) == image);
}
