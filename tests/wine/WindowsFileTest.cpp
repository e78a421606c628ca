// Files as the Windows runtime treats them: its rename does not replace an
// existing file, and text mode would turn 0x0A into 0x0D 0x0A.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
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

TEST(WindowsFiles, SaveReplacesAWritableFileAndLeavesTheRestAlone)
{
    DeviceHarness h(std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE));
    h.startSim();
    const std::vector<uint8_t> area = flashRange(h.adapter().flashSnapshot(), kSettingsArea, kSettingsSize);
    const std::vector<uint8_t> old(100, '\n');
    struct Case {
        const char* name;
        std::filesystem::perms perms;
        bool linked;  // saved through a link beside it
        bool stored;
    };
    const Case cases[] = {
        {"user.dat", std::filesystem::perms(0644), false, true},
        {"locked.dat", std::filesystem::perms(0444), false, false},
        {"linked.dat", std::filesystem::perms(0644), true, true},
    };
    for (const Case& c : cases) {
        std::string file = h.path(c.name);
        writeFile(file, old);
        std::filesystem::permissions(file, c.perms);
        std::string target = file;
        if (c.linked) {
            target = h.path(std::string("link-") + c.name);
            std::filesystem::create_symlink(c.name, target);
        }
        ProcessResult r = h.runOnPort({"-s", target}, 60s);
        EXPECT_EQ(r.exitStatus, c.stored ? 0 : 1) << c.name << r.err;
        EXPECT_TRUE(readFile(file) == (c.stored ? area : old)) << c.name;
        EXPECT_EQ(std::filesystem::status(file).permissions(), c.perms) << c.name;
        EXPECT_EQ(std::filesystem::is_symlink(target), c.linked) << c.name;
    }
    // Nothing but the files and links themselves: no temporary file left.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(h.path("")), {}), 4);
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
