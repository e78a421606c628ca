// How the wine launcher names ports and cleans the Windows program's output;
// none of this needs wine itself.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "WineLauncher.h"

namespace {

namespace fs = std::filesystem;

// A prefix directory with nothing in it but dosdevices.
class FakePrefix : public ::testing::Test {
protected:
    void SetUp() override
    {
        _dir = fs::temp_directory_path() / ("pelago-fake-prefix-" + std::to_string(getpid()));
        fs::create_directories(_dir / "dosdevices");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(_dir, ec);
        for (int n = WineComPort::kFirstNumber; n <= WineComPort::kLastNumber; ++n)
            fs::remove(_dir.string() + ".com" + std::to_string(n) + ".lock", ec);
    }
    WinePrefix prefix() const { return WinePrefix(WineSetup{"", "", "", _dir.string()}); }
    fs::path link(const std::string& comName) const
    {
        return _dir / "dosdevices" / ("com" + comName.substr(3));
    }

    fs::path _dir;
};

} // namespace

TEST(WineLineEnds, OnlyCarriageReturnLineFeedPairsBecomeLineFeeds)
{
    EXPECT_EQ(windowsToUnixLineEnds("a\r\nb\r\n"), "a\nb\n");
    EXPECT_EQ(windowsToUnixLineEnds("\r\r\n"), "\r\n");
    EXPECT_EQ(windowsToUnixLineEnds("dots...\rend\r"), "dots...\rend\r");
    EXPECT_EQ(windowsToUnixLineEnds("bare\nlf"), "bare\nlf");
    EXPECT_EQ(windowsToUnixLineEnds(""), "");
}

TEST_F(FakePrefix, PortsHeldAtOnceGetDistinctHighNumbersLinkedToTheirPty)
{
    WinePrefix p = prefix();
    WineComPort first(p, "/dev/pts/901");
    WineComPort second(p, "/dev/pts/902");
    EXPECT_EQ(first.name(), "COM" + std::to_string(WineComPort::kFirstNumber));
    EXPECT_EQ(second.name(), "COM" + std::to_string(WineComPort::kFirstNumber + 1));
    EXPECT_EQ(fs::read_symlink(link(first.name())), "/dev/pts/901");
    EXPECT_EQ(fs::read_symlink(link(second.name())), "/dev/pts/902");
}

TEST_F(FakePrefix, AReleasedNumberIsReusedAndItsLinkGoes)
{
    WinePrefix p = prefix();
    std::string name;
    {
        WineComPort port(p, "/dev/pts/901");
        name = port.name();
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(link(name))));
    WineComPort again(p, "/dev/pts/903");
    EXPECT_EQ(again.name(), name);
    EXPECT_EQ(fs::read_symlink(link(name)), "/dev/pts/903");
}

TEST_F(FakePrefix, AStaleLinkOfAKilledRunIsReplaced)
{
    fs::create_symlink("/dev/pts/999", _dir / "dosdevices" / "com40");
    WinePrefix p = prefix();
    WineComPort port(p, "/dev/pts/904");
    EXPECT_EQ(port.name(), "COM40");
    EXPECT_EQ(fs::read_symlink(link(port.name())), "/dev/pts/904");
}

TEST_F(FakePrefix, TheLauncherAnswersTheSameNameForTheSamePty)
{
    WinePrefix p = prefix();
    WineLauncher launcher(p, "PelagoXcon.exe");
    std::string a = launcher.portName("/dev/pts/905");
    std::string b = launcher.portName("/dev/pts/906");
    EXPECT_NE(a, b);
    EXPECT_EQ(launcher.portName("/dev/pts/905"), a);
    EXPECT_EQ(launcher.programName(), "PelagoXcon.exe");
}

TEST_F(FakePrefix, NoNameWhenThePrefixHasNoDosDevices)
{
    fs::remove_all(_dir / "dosdevices");
    WinePrefix p = prefix();
    WineComPort port(p, "/dev/pts/907");
    EXPECT_EQ(port.name(), "");
}
