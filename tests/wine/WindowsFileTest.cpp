// Files as the Windows runtime treats them: its rename does not replace an
// existing file, text mode would turn 0x0A into 0x0D 0x0A, and a file held
// open by another program cannot be replaced.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
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

// Each save either stores the area or leaves every file as it was, with a
// reason, and no temporary file behind.
TEST(WindowsFiles, SaveReplacesAWritableFileAndLeavesTheRestAlone)
{
    DeviceHarness h(std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE));
    h.startSim();
    const std::vector<uint8_t> area = flashRange(h.adapter().flashSnapshot(), kSettingsArea, kSettingsSize);
    const std::vector<uint8_t> old(100, '\n');
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        fs::perms perms;
        enum { Plain, Linked, HardLinked, Held, NoDirectory } how;
        bool stored;
    };
    const Case cases[] = {
        {"user.dat", fs::perms(0644), Case::Plain, true},
        {"locked.dat", fs::perms(0444), Case::Plain, false},
        {"linked.dat", fs::perms(0644), Case::Linked, true},
        {"hardlinked.dat", fs::perms(0644), Case::HardLinked, true},
        {"held.dat", fs::perms(0644), Case::Held, false},
        {"missing-dir/user.dat", fs::perms(0644), Case::NoDirectory, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = h.path("case-" + std::to_string(&c - cases));
        fs::create_directories(dir);
        std::string file = dir + "/" + c.name;
        std::string target = file;
        std::unique_ptr<Subprocess> holder;
        if (c.how != Case::NoDirectory) {
            writeFile(file, old);
            fs::permissions(file, c.perms);
        }
        if (c.how == Case::Linked) {
            target = dir + "/link-" + c.name;
            fs::create_symlink(c.name, target);
        }
        if (c.how == Case::HardLinked)
            fs::create_hard_link(file, dir + "/other.dat");
        if (c.how == Case::Held) {
            holder = winePrefix().startWindowsProgram(WIN_PORT_PROBE_EXE, {"hold", file, "60000"});
            for (int i = 0; i < 300 && !fileExists(file + ".held"); ++i)
                usleep(100000);
            ASSERT_TRUE(fileExists(file + ".held")) << "the holder did not open the file";
        }
        auto listing = [&] {
            std::vector<std::string> names;
            for (const auto& entry : fs::directory_iterator(dir))
                names.push_back(entry.path().filename().string());
            std::sort(names.begin(), names.end());
            return names;
        };
        std::vector<std::string> before = listing();

        ProcessResult r = h.runOnPort({"-s", target}, 60s);
        EXPECT_EQ(r.exitStatus, c.stored ? 0 : 1) << r.err;
        if (!c.stored) {
            EXPECT_NE(r.err.find("\nReason: "), std::string::npos) << r.err;
        }
        if (c.how == Case::NoDirectory) {
            EXPECT_FALSE(fs::exists(dir + "/missing-dir"));
        } else {
            EXPECT_TRUE(readFile(file) == (c.stored ? area : old));
            EXPECT_EQ(fs::status(file).permissions(), c.perms);
        }
        EXPECT_EQ(fs::is_symlink(target), c.how == Case::Linked);
        if (c.how == Case::HardLinked) {
            EXPECT_TRUE(readFile(dir + "/other.dat") == old) << "the other name keeps the old content";
        }
        EXPECT_EQ(listing(), before) << "a temporary file was left, or a name went";
    }
}

TEST(WindowsFiles, SettingsWithLineFeedsAndEndOfFileMarksArriveUnchanged)
{
    DeviceHarness h(std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE));
    h.startSim();
    std::vector<uint8_t> bytes(kSettingsSize);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (i % 3 == 0) ? 0x0A : (i % 3 == 1) ? 0x1A : 0x0D;
    std::vector<uint8_t> image = settingsFileBytes(bytes);
    std::string file = h.path("crlf.dat");
    writeFile(file, image);

    ProcessResult r = h.runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(flashRange(h.adapter().flashSnapshot(), kSettingsArea, kSettingsSize) == image);
}
