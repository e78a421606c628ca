// A monitor that fails in the middle of a firmware update: every command
// of the update, dropped or answered wrongly, must end the run as failed,
// within bounds, and never with a success message. And a user who
// interrupts a transfer: told what state the adapter is in, the port free.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "DeviceExpect.h"
#include "NativeDeviceSuites.h"

using namespace std::chrono_literals;

namespace {

constexpr unsigned kBlocks = 4;

struct Fault {
    std::string name;
    sim::LinkMode link = sim::LinkMode::Usb;
    sim::FaultPlan plan;
    bool erased = true;  // the fault comes after the erase was sent
};

Fault dropped(char letter, unsigned nth, sim::LinkMode link = sim::LinkMode::Usb)
{
    Fault f{std::string("no answer to ") + letter + " #" + std::to_string(nth), link, {}, letter != 'w'};
    f.plan.noAnswerAt[letter] = nth;
    return f;
}

Fault wrong(char letter, unsigned nth)
{
    Fault f{std::string("wrong answer to ") + letter + " #" + std::to_string(nth), sim::LinkMode::Usb, {}};
    f.plan.wrongLetterAt[letter] = nth;
    return f;
}

// Runs -f on a small image under `fault`; the run must fail cleanly and,
// once the erase was sent, name the way back.
void expectFailedUpdate(const LauncherParam& launcher, const Fault& fault, std::chrono::milliseconds bound)
{
    SCOPED_TRACE(fault.name);
    DeviceHarness h(launcher.make());
    sim::SimOptions options;
    options.link = fault.link;
    options.faults = fault.plan;
    h.startSim(options);
    std::string file = writeFirmware(h, "f.fw", patternBytes(64 * kBlocks, 70));
    ProcessResult r = h.runOnPort({"-f", file}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    std::string wayBack = fault.erased ? "The adapter's firmware is erased or partly written; write it again with: "
                                         "PelagoXcon -p " + h.port() + " -I -f " + file + "\n"
                                       : "";
    EXPECT_TRUE(endsWith(r.err, "\nSAM-BA operation failed\n" + wayBack)) << r.err;
    EXPECT_EQ(r.out.find("Firmware update OK"), std::string::npos) << r.out;
    EXPECT_LT(r.elapsed, bound);
}

} // namespace

// Word reads: 6 to connect and check the chip, the 7th reads the installed
// type, the 8th the board. Per block: S, Y source, Y destination.
TEST_P(FaultTest, DroppedAnswersFailTheUpdate)
{
    for (const Fault& f : {dropped('w', 7), dropped('w', 8), dropped('X', 1), dropped('x', 1),
                           dropped('Y', 1), dropped('Y', 2), dropped('Y', 2 * kBlocks), dropped('Z', 1),
                           dropped('Z', 3)})
        expectFailedUpdate(GetParam(), f, 15s);
}

TEST_P(FaultTest, WrongAnswersFailTheUpdate)
{
    for (const Fault& f : {wrong('X', 1), wrong('x', 1), wrong('Y', 1), wrong('Y', 4), wrong('Z', 2)})
        expectFailedUpdate(GetParam(), f, 10s);
}

TEST_P(FaultTest, BlockTransferFailures)
{
    Fault hangup{"hang-up after 2 blocks", sim::LinkMode::Usb, {}, true};
    hangup.plan.hangupAfterBlocks = 2;
    expectFailedUpdate(GetParam(), hangup, 15s);

    Fault serialHangup{"serial hang-up after 2 blocks", sim::LinkMode::Serial, {}, true};
    serialHangup.plan.hangupAfterBlocks = 2;
    expectFailedUpdate(GetParam(), serialHangup, 15s);

    Fault noC{"receiver never asks", sim::LinkMode::Serial, {}, true};
    noC.plan.neverSendC = true;
    expectFailedUpdate(GetParam(), noC, 20s);

    Fault fiveNaks{"five NAKs", sim::LinkMode::Serial, {}, true};
    fiveNaks.plan.nakFirstBlocks = 5;
    expectFailedUpdate(GetParam(), fiveNaks, 20s);

    expectFailedUpdate(GetParam(), dropped('Y', 3, sim::LinkMode::Serial), 15s);
}

TEST_P(FaultTest, FourNaksPerBlockStillSucceed)
{
    sim::SimOptions options;
    options.link = sim::LinkMode::Serial;
    options.faults.nakFirstBlocks = 4;
    h().startSim(options);
    std::vector<uint8_t> plain = patternBytes(64 * kBlocks, 71);
    std::string file = writeFirmware(h(), "f.fw", plain);
    ProcessResult r = h().runOnPort({"-f", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("\tFirmware update OK\n"), std::string::npos);
    EXPECT_EQ(flashRange(h().adapter().flashSnapshot(), 0x1000, plain.size()), plain);
}

// Root opens a port past its exclusive flag, so a second run gets as far as
// the lock before it is refused; its close is no hang-up of the first run's
// line. The second run goes in while the adapter holds the first one's
// answer to a programming step, which may take seconds.
TEST_P(FaultTest, ASecondRunRefusedAsInUseLeavesTheFirstOnesUpdateWhole)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the effective UID is not 0 (an ordinary user's second open fails at once)";
    std::vector<uint8_t> plain = patternBytes(64 * kBlocks, 84);
    std::string file;
    sim::AdapterSim* adapter = nullptr;
    ProcessResult second;
    sim::SimOptions options;
    options.onCommand = [&](unsigned) {
        std::string command = adapter->commandLog().back();
        if (second.exitStatus < 0 && command[0] == 'Y' && command.rfind("Y20000000", 0) != 0)
            second = runProcess(PELAGO_EXE, {"-p", adapter->ptyPath(), "-f", file}, "", 4s);
    };
    adapter = &h().startSim(options);
    file = writeFirmware(h(), "f.fw", plain);
    ProcessResult r = h().runOnPort({"-f", file}, 60s);
    EXPECT_EQ(second.exitStatus, 1) << second.err;
    EXPECT_NE(second.err.find("The port is in use by "), std::string::npos) << second.err;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(flashRange(adapter->flashSnapshot(), 0x1000, plain.size()), plain);
}

namespace {

// Whether the tty at `path` still has its exclusive-open flag set, which
// would shut every later run of an ordinary user out.
bool exclusiveFlagSet(const std::string& path)
{
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int set = 1;
    if (fd >= 0) {
        ioctl(fd, TIOCGEXCL, &set);
        close(fd);
    }
    return set != 0;
}

} // namespace

// Each signal at a point of each transfer; the bar's line ends, the port is
// released, the message names the state and what to run, status 130.
TEST_P(FaultTest, InterruptedTransfersSayWhatStateTheAdapterIsIn)
{
    sim::SimOptions options;
    options.faults.replyDelayMs = 2;  // keeps each transfer running well past the signal
    h().startSim(options);
    std::string settings = h().path("user.dat");
    writeFile(settings, settingsFileBytes(80));
    std::string firmware = writeFirmware(h(), "f.fw", patternBytes(64 * 64, 81));
    sim::MkfwOptions withSettings;
    withSettings.settingsHandling = 2;  // erases the settings as byte 1 does
    std::string firmwareWithSettings = writeFirmware(h(), "s.fw", patternBytes(64 * 64, 83), withSettings);
    const std::string saved = h().path("saved.dat");
    // A name the restore command must quote to survive being pasted.
    const std::string backupDir = h().path("the user's backups");
    const std::string erased = "Interrupted: the adapter's settings are erased or partly written; restore them with: ";
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string marker;  // where the signal goes in
        int signal;
        std::string says;  // the last line of stderr (then the restore command, for -u)
        bool backups = true;
    } cases[] = {
        {"save", {"-s", saved}, "Reading adapter setting", SIGHUP, "Interrupted: nothing was changed on the adapter"},
        {"update", {"-u", settings}, "Updating adapter setting", SIGTERM, erased},
        {"update without backups", {"-u", settings}, "Updating adapter setting", SIGINT, erased, false},
        {"firmware", {"-f", firmware}, "Updating firmware", SIGINT,
         "Interrupted: the adapter's firmware is erased or partly written; write it again with: PelagoXcon -p " +
             h().port() + " -I -f " + firmware},
        {"firmware with settings", {"-I", "-f", firmwareWithSettings}, "Updating firmware", SIGINT, erased},
        {"after an update", {"-u", settings, "-i", "-R"}, "Adapter setting verified", SIGINT,
         "Interrupted: the adapter was changed as asked; the actions after that were not run"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(backupDir);
        const std::vector<uint8_t> before = flashRange(h().adapter().flashSnapshot(), 0x1F000, 0x1000);
        std::vector<std::string> argv = {"PelagoXcon", "-p", h().port()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Subprocess child(PELAGO_EXE, argv,
                         {"PELAGOXCON_BACKUP_DIR=" + backupDir,
                          std::string("PELAGOXCON_NO_BACKUP=") + (c.backups ? "0" : "1")});
        child.stdoutOnTerminal();
        child.onOutput(c.marker, [&] { child.sendSignal(c.signal); });
        child.start();
        ProcessResult r = child.finish(60s);

        EXPECT_EQ(r.exitStatus, 130) << r.err;
        size_t says = r.err.rfind("\n" + c.says);
        ASSERT_NE(says, std::string::npos) << r.err;
        EXPECT_TRUE(endsWith(r.err, "\n")) << r.err;
        std::string restore;
        if (c.says == erased) {
            std::string command = r.err.substr(says + 1 + c.says.size());
            command.pop_back();
            std::error_code none;
            auto made = std::filesystem::directory_iterator(backupDir, none);
            restore = c.backups && made != std::filesystem::directory_iterator() ? made->path().string() : settings;
            EXPECT_EQ(shellWords(command), (std::vector<std::string>{"PelagoXcon", "-p", h().port(), "-u", restore}))
                << command;
        } else {
            EXPECT_EQ(r.err.substr(says + 1), c.says + "\n");
        }
        EXPECT_TRUE(endsWith(r.out, "\n")) << "the bar's line is ended";
        EXPECT_FALSE(exclusiveFlagSet(h().adapter().ptyPath()));
        EXPECT_FALSE(fileExists(saved));
        EXPECT_FALSE(h().adapter().resetSeen()) << "no block runs after the interruption";
        EXPECT_LT(r.elapsed, 10s);
        if (!restore.empty()) {
            // The command the message gives puts the settings back.
            ProcessResult restored = h().runOnPort({"-u", restore}, 60s);
            EXPECT_EQ(restored.exitStatus, 0) << restored.err;
            EXPECT_EQ(flashRange(h().adapter().flashSnapshot(), 0x1F000, 0x1000), c.backups ? before : readFile(settings));
        }
    }

    // A second signal ends the tool at once, by that signal.
    Subprocess child(PELAGO_EXE, {"PelagoXcon", "-p", h().port(), "-s", saved},
                     {"PELAGOXCON_BACKUP_DIR=" + h().backupDir()});
    child.stdoutOnTerminal();
    child.onOutput("Reading adapter setting", [&] {
        child.sendSignal(SIGINT);
        child.sendSignal(SIGTERM);
    });
    child.start();
    ProcessResult r = child.finish(60s);
    EXPECT_TRUE(r.signal == SIGINT || r.signal == SIGTERM) << r.exitStatus << r.err;
    EXPECT_FALSE(fileExists(saved));
}

TEST_P(FaultTest, AFailedWriteEndsTheBarsLine)
{
    sim::SimOptions options;
    options.faults.hangupAfterBlocks = 2;
    h().startSim(options);
    std::string file = writeFirmware(h(), "f.fw", patternBytes(64 * kBlocks, 82));
    Subprocess child(PELAGO_EXE, {"PelagoXcon", "-p", h().port(), "-f", file},
                     {"PELAGOXCON_BACKUP_DIR=" + h().backupDir()});
    child.stdoutOnTerminal();
    child.start();
    ProcessResult r = child.finish(60s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.out.find("Updating firmware"), std::string::npos) << r.out;
    EXPECT_TRUE(endsWith(r.out, "\n")) << r.out;
    EXPECT_TRUE(endsWith(r.err, "\nSAM-BA operation failed\nThe adapter's firmware is erased or partly written; "
                                "write it again with: PelagoXcon -p " + h().port() + " -I -f " + file + "\n"))
        << r.err;
}
