// The Windows runtime buffers stdout fully on a pipe and stderr not at all.
// With both streams on one pipe (a log, "2>&1"), the text must still come
// out in the order the program wrote it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AdapterSim.h"
#include "DeviceHarness.h"
#include "WineEnvironment.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kShell = "/bin/sh";

// Runs PelagoXcon.exe with stderr sent into its stdout pipe.
ProcessResult runMerged(const std::vector<std::string>& args)
{
    std::vector<std::string> argv{kShell, "-c", "exec \"$0\" \"$@\" 2>&1"};
    for (auto& a : winePrefix().commandLine(PELAGO_WINE_EXE, args))
        argv.push_back(std::move(a));
    Subprocess child(kShell, argv);
    child.start();
    return toUnixLineEnds(child.finish(60s));
}

class WindowsOutputOrder : public ::testing::Test {
protected:
    WindowsOutputOrder() : _h(std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE)) {}
    DeviceHarness _h;
};

const std::string kBootloaderLine =
    "\nBootloader Version: " + std::string(sim::SimOptions::kDefaultVersionText) + "\n";

} // namespace

TEST_F(WindowsOutputOrder, ConnectNoteComesBeforeTheIdentity)
{
    _h.startSim();
    ProcessResult r = runMerged({"-p", _h.port(), "-i"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out.find("Try to open USB device ... " + kBootloaderLine), 0u) << r.out;
}

TEST_F(WindowsOutputOrder, FailureComesAfterWhatWasPrintedBeforeIt)
{
    sim::SimOptions options;
    options.faults.noAnswerAt['w'] = 8;  // the info block's second word read
    _h.startSim(options);
    ProcessResult r = runMerged({"-p", _h.port(), "-i"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "Try to open USB device ... " + kBootloaderLine + "\nSAM-BA operation failed\n");
}

TEST_F(WindowsOutputOrder, BannerComesBeforeTheMessageOfARunWithoutOptions)
{
    ProcessResult r = runMerged({});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "Quorvane EF/GFX and CONTAX645/GFX Adapter Firmware Updater 0.3\n\n"
                     "You must specify at least one option\n"
                     "Try 'PelagoXcon.exe -h' or 'PelagoXcon.exe --help' for more information\n");
}
