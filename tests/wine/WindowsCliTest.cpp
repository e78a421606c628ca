// Command-line cases whose wording comes from the Windows C runtime rather
// than from the tool: its getopt_long diagnostics must name the program by
// its cut name, as the tool's own messages do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WineEnvironment.h"

namespace {

using namespace std::chrono_literals;

const std::string kProgram = "PelagoXcon.exe";
const std::string kHint = "Try 'PelagoXcon.exe -h' or 'PelagoXcon.exe --help' for more information\n";

} // namespace

TEST(WindowsCli, RuntimeDiagnosticsNameTheProgramByItsCutName)
{
    WineLauncher launcher(winePrefix(), PELAGO_WINE_EXE);
    for (const auto& args : std::vector<std::vector<std::string>>{{"-p"}, {"-c"}, {"--bogus"}, {"--port"}}) {
        SCOPED_TRACE(args[0]);
        ProcessResult r = launcher.run(args, "", 30s);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_GT(r.err.size(), kHint.size());
        EXPECT_EQ(r.err.substr(0, kProgram.size() + 2), kProgram + ": ") << r.err;
        EXPECT_EQ(r.err.find('\\'), std::string::npos) << "a Windows path leaked into: " << r.err;
        EXPECT_EQ(r.err.substr(r.err.size() - kHint.size()), kHint);
    }
}

// Wine's SetupAPI lists no serial ports, so the scan ends at once on the
// enumeration's failure path; on Windows the same path is taken on a host
// without COM ports.
TEST(WindowsCli, AScanThatFindsNoPortSaysSoAndFails)
{
    WineLauncher launcher(winePrefix(), PELAGO_WINE_EXE);
    ProcessResult r = launcher.run({"-i"}, "", 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to scan USB devices ... Auto scan for device failed\n"
                     "Try specifying a serial port with the '-p' option\n"
                     "No serial ports were found\n");
}

TEST(WindowsCli, ANamedPortThatDoesNotExistIsReportedByItsName)
{
    WineLauncher launcher(winePrefix(), PELAGO_WINE_EXE);
    ProcessResult r = launcher.run({"-p", "COM251", "-i"}, "", 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    const std::string first = "Try to open USB device ... No device found on COM251\n";
    EXPECT_EQ(r.err.substr(0, first.size()), first);
    // The reason's wording is the Windows factory's own; its keyword is fixed.
    EXPECT_NE(r.err.find("does not exist", first.size()), std::string::npos) << r.err;
}
