// The settings blocks end to end at their edges: long, short, missing and
// foreign files, saves that cannot be made, saves to the tool's own output,
// the serial link, the backup before an erase, the read-back after -u, and
// stray bytes in a dump.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>

#include "DeviceExpect.h"
#include "FwCodec.h"
#include "NativeDeviceSuites.h"
#include "NativeLauncher.h"

using namespace std::chrono_literals;

namespace {

constexpr long kNobody = 65534;

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

std::vector<uint8_t> settingsArea(DeviceHarness& h)
{
    return flashRange(h.adapter().flashSnapshot(), 0x1F000, 0x1000);
}

// Runs the tool with descriptor `stream` (stdout, stderr) on `fd`, the
// other one on /dev/null; returns what `readBack` reads once it has ended.
std::string runWithStream(const std::vector<std::string>& args, int stream, int fd,
                          const std::function<std::string()>& readBack)
{
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, stream == STDOUT_FILENO ? STDERR_FILENO : STDOUT_FILENO);
        dup2(fd, stream);
        alarm(60);
        std::vector<char*> argv{const_cast<char*>(PELAGO_EXE)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(PELAGO_EXE, argv.data());
        _exit(127);
    }
    close(fd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return readBack();
}

std::string readAll(int fd)
{
    std::string all;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        all.append(buffer, size_t(n));
    close(fd);
    return all;
}

} // namespace

TEST_P(SettingsTest, UpdateOverSerialLink)
{
    expectSettingsUpdate(h(), sim::LinkMode::Serial);
}

TEST_P(SettingsTest, UpdateUsesOnlyTheFirstFourKilobytesOfALongerFile)
{
    h().startSim();
    std::vector<uint8_t> bytes = settingsFileBytes(60);
    bytes.resize(0x1000 + 100, 0x5A);
    std::string file = h().path("long.dat");
    writeFile(file, bytes);
    ProcessResult r = h().runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    bytes.resize(0x1000);
    EXPECT_EQ(maskTimes(r.out), settingsUpdateOutput(sim::fwCrc32(bytes.data(), bytes.size()), backupLine(h())));
    EXPECT_EQ(settingsArea(h()), bytes);
}

TEST_P(SettingsTest, UpdateRefusesMissingShortAndForeignFilesBeforeErasing)
{
    h().startSim();
    std::vector<uint8_t> before = settingsArea(h());
    std::string missing = h().path("missing.dat");
    ProcessResult r = h().runOnPort({"-u", missing}, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nFailed in opening adapter setting file " + missing + ", abort\n");

    std::string file = h().path("given.dat");
    const std::string shorter = "\nAdapter setting file " + file + " is shorter than 4096 bytes, abort\n";
    const std::string foreign = "\n" + file + " is not an adapter setting file, abort\n";
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string out;
    };
    for (const Case& c : {Case{"empty", {}, shorter}, Case{"64 bytes", patternBytes(64, 61), shorter},
                          Case{"4095 bytes", patternBytes(0xFFF, 61), shorter},
                          Case{"4096 other bytes", patternBytes(0x1000, 61), foreign},
                          Case{"erased area", std::vector<uint8_t>(0x1000, 0xFF), foreign},
                          Case{"firmware file", makeFirmware(patternBytes(0x1E000, 62)), foreign}}) {
        SCOPED_TRACE(c.name);
        writeFile(file, c.bytes);
        r = h().runOnPort({"-u", file}, 30s);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(countCommands(h(), "X"), 0u);
    EXPECT_EQ(countCommands(h(), "S"), 0u);
    EXPECT_EQ(countCommands(h(), "w0001F"), 0u) << "the area was read for a backup";
    EXPECT_TRUE(h().backups().empty());
    EXPECT_EQ(settingsArea(h()), before);
}

TEST_P(SettingsTest, SaveThatCannotCreateItsFileFailsBeforeLaterBlocks)
{
    h().startSim();
    std::string file = h().path("no-such-dir/user.dat");
    ProcessResult r = h().runOnPort({"-s", file, "-R"}, 60s);
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
    EXPECT_EQ(countCommands(h(), "w0001F"), 0u) << "the area was read for a file that cannot be written";
}

// -s /dev/stdout and the like: the tool's own output is written in place,
// whatever it is, and what the tool prints after the save still arrives.
TEST_P(SettingsTest, SaveToTheToolsOwnOutputWritesItInPlace)
{
    h().startSim();
    std::vector<uint8_t> bytes = settingsArea(h());
    const std::string area(bytes.begin(), bytes.end());
    const std::string file = h().path("out.txt");
    struct Case {
        const char* name;
        int stream;
        std::function<std::pair<int, std::function<std::string()>>()> open;  // the tool's end; how to read it
    };
    auto pipeEnds = [](int type) -> std::pair<int, std::function<std::string()>> {
        int fds[2] = {-1, -1};
        EXPECT_EQ(type == 0 ? pipe(fds) : socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        int reader = fds[0];
        return {fds[1], [reader] { return readAll(reader); }};
    };
    auto fileEnd = [file]() -> std::pair<int, std::function<std::string()>> {
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        return {fd, [file] {
                    std::vector<uint8_t> got = readFile(file);
                    return std::string(got.begin(), got.end());
                }};
    };
    const Case cases[] = {
        {"stdout a pipe", STDOUT_FILENO, [&] { return pipeEnds(0); }},
        {"stdout a socket", STDOUT_FILENO, [&] { return pipeEnds(1); }},
        {"stdout a file", STDOUT_FILENO, fileEnd},
        {"stderr a file", STDERR_FILENO, fileEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto [fd, readBack] = c.open();
        const char* target = c.stream == STDOUT_FILENO ? "/dev/stdout" : "/dev/stderr";
        std::string got = runWithStream({"-p", h().port(), "-s", target}, c.stream, fd, readBack);
        if (c.stream == STDOUT_FILENO) {
            EXPECT_EQ(maskTimes(got.substr(0, 1) + got.substr(1 + area.size())),
                      "\nAdapter setting saved to /dev/stdout\ndone in T seconds\n");
            EXPECT_TRUE(got.substr(1, area.size()) == area);
        } else {
            EXPECT_TRUE(got == "Try to open USB device ... " + area) << got.size();
        }
    }
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

namespace {

// A run that erases the settings area: -u, or -f with a settings byte (the
// full update with byte 2 shows its backup line in FirmwareTests).
struct ErasingRun {
    std::string name;
    std::vector<std::string> args;
};

std::vector<ErasingRun> erasingRuns(DeviceHarness& h)
{
    std::string settings = h.path("user.dat");
    writeFile(settings, settingsFileBytes(80));
    sim::MkfwOptions erase;
    erase.settingsHandling = 1;
    return {{"-u", {"-u", settings}},
            {"-f, settings byte 1", {"-f", writeFirmware(h, "erase.fw", patternBytes(128, 82), erase)}}};
}

// The file name a backup made at `when` gets.
std::string backupName(std::time_t when)
{
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "QE012345-%Y%m%d-%H%M%SZ.dat", std::gmtime(&when));
    return stamp;
}

} // namespace

TEST_P(SettingsTest, EveryEraseOfTheAreaIsPrecededByAByteExactBackup)
{
    h().startSim();
    // Even without owner write in the umask: backups are the owner's alone.
    struct RestoreUmask {
        mode_t old = umask(0277);
        ~RestoreUmask() { umask(old); }
    } hostileUmask;
    std::string filler = h().path("filler.dat");
    writeFile(filler, settingsFileBytes(84));
    ASSERT_EQ(h().runOnPort({"-u", filler}, 60s).exitStatus, 0);  // an area unlike the default

    for (const ErasingRun& run : erasingRuns(h())) {
        SCOPED_TRACE(run.name);
        std::vector<uint8_t> before = settingsArea(h());
        std::vector<std::string> earlier = h().backups();
        ProcessResult r = h().runOnPort(run.args, 60s);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        std::vector<std::string> now = h().backups();
        ASSERT_EQ(now.size(), earlier.size() + 1);
        for (const std::string& made : now) {
            if (std::find(earlier.begin(), earlier.end(), made) != earlier.end())
                continue;
            EXPECT_EQ(r.out.find("\nAdapter setting backed up to " + made + "\n"), 0u) << r.out;
            EXPECT_TRUE(readFile(made) == before) << made;
            EXPECT_EQ(modeOf(made), 0600u) << made;
        }
    }
    EXPECT_EQ(modeOf(h().backupDir()), 0700u);
    EXPECT_EQ(modeOf(h().path("state")), 0700u);
}

TEST_P(SettingsTest, BackupTakesTheNextFreeNameAndCanBeSwitchedOff)
{
    h().startSim();
    std::string file = h().path("user.dat");
    writeFile(file, settingsFileBytes(85));
    // Every name of the coming seconds is taken: the run must count on.
    std::filesystem::create_directories(h().backupDir());
    std::time_t start = std::time(nullptr);
    for (int s = 0; s < 30; ++s)
        writeFile(h().backupDir() + "/" + backupName(start + s), {});
    ProcessResult r = h().runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out).find("\nAdapter setting backed up to " + h().backupDir() + "/QE012345-STAMP-1.dat\n"), 0u)
        << r.out;
    EXPECT_EQ(h().backups().size(), 31u);

    h().launcher().setEnvironment({"PELAGOXCON_BACKUP_DIR=" + h().path("unused"), "PELAGOXCON_NO_BACKUP=1"});
    r = h().runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out), settingsUpdateOutput(sim::fwCrc32(readFile(file).data(), 0x1000), ""));
    EXPECT_FALSE(fileExists(h().path("unused")));
}

TEST_P(SettingsTest, ABackupThatCannotBeMadeMeansNoErase)
{
    h().startSim();
    const std::string name300(300, 'n');
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::vector<std::string> environment;
        std::string dir;  // as the message names it
        std::string reason;
        bool asUser = false;
        bool asRoot = false;  // owners and modes of POSIX, set by root
    };
    const std::string test = std::to_string(geteuid());
    const Case cases[] = {
        {"a file where the directory should be", [&] { writeFile(h().path("state"), {}); },
         {"PELAGOXCON_BACKUP_DIR=" + h().backupDir()}, h().backupDir(), "Not a directory"},
        {"a link loop", [&] { std::filesystem::create_symlink("loop", h().path("loop")); },
         {"PELAGOXCON_BACKUP_DIR=" + h().path("loop/backups")}, h().path("loop/backups"),
         "Too many levels of symbolic links"},
        {"a 300-character name", [] {}, {"PELAGOXCON_BACKUP_DIR=" + h().path(name300)}, h().path(name300),
         "File name too long"},
        {"an empty variable", [] {}, {"PELAGOXCON_BACKUP_DIR="}, "(empty PELAGOXCON_BACKUP_DIR)",
         "PELAGOXCON_BACKUP_DIR is empty"},
        {"a relative HOME", [] {}, {"HOME=relative", "XDG_STATE_HOME="}, "$HOME/.local/state/pelagoxcon/backups",
         "HOME is not set or not an absolute path"},
        {"a directory the user may not search",
         [&] {
             std::filesystem::create_directory(h().path("closed"));
             chmod(h().path("closed").c_str(), 0700);
         },
         {"PELAGOXCON_BACKUP_DIR=" + h().path("closed/backups")}, h().path("closed/backups"), "Permission denied",
         true},
        // Another user could swap the backup for a link to a file of root's.
        {"a directory another user owns",
         [&] {
             std::filesystem::create_directory(h().path("theirs"));
             chmod(h().path("theirs").c_str(), 0777);
             EXPECT_EQ(chown(h().path("theirs").c_str(), kNobody, kNobody), 0);
         },
         {"PELAGOXCON_BACKUP_DIR=" + h().path("theirs")}, h().path("theirs"),
         h().path("theirs") + " may be changed by another user (owner 65534, mode 0777)", false, true},
        {"a parent anyone may write",
         [&] {
             std::filesystem::create_directories(h().path("open/backups"));
             chmod(h().path("open").c_str(), 0777);
         },
         {"PELAGOXCON_BACKUP_DIR=" + h().path("open/backups")}, h().path("open/backups"),
         h().path("open") + " may be changed by another user (owner " + test + ", mode 0777)", false, true},
        {"a link on the way another user owns",
         [&] {
             std::filesystem::create_directories(h().path("mine"));
             std::filesystem::create_symlink("mine", h().path("link"));
             EXPECT_EQ(lchown(h().path("link").c_str(), kNobody, kNobody), 0);
         },
         {"PELAGOXCON_BACKUP_DIR=" + h().path("link/backups")}, h().path("link/backups"),
         h().path("link") + " may be changed by another user (owner 65534, mode 0777)", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto* native = dynamic_cast<NativeLauncher*>(&h().launcher());
        if (c.asUser && (native == nullptr || geteuid() != 0 || access(NativeLauncher::kSetpriv, X_OK) != 0))
            continue;  // root may search any directory
        if (c.asRoot && (native == nullptr || geteuid() != 0))
            continue;
        c.arrange();
        h().launcher().setEnvironment(c.environment);
        if (c.asUser) {
            chmod(h().path("").c_str(), 0755);
            chmod(h().port().c_str(), 0666);
            native->runAs(kNobody);
        }
        for (const ErasingRun& run : erasingRuns(h())) {
            SCOPED_TRACE(run.name);
            std::vector<uint8_t> before = h().adapter().flashSnapshot();
            ProcessResult r = h().runOnPort(run.args, 60s);
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_TRUE(endsWith(r.out, "Failed to back up adapter setting to " + c.dir + ", abort\n")) << r.out;
            EXPECT_TRUE(endsWith(r.err, "\nReason: " + c.reason + "\n")) << r.err;
            EXPECT_EQ(countCommands(h(), "X"), 0u);
            EXPECT_TRUE(h().adapter().flashSnapshot() == before);
        }
        if (native != nullptr)
            native->runAs(-1);
    }
}

TEST_P(SettingsTest, UpdateReadsTheAreaBackAndFailsWhenABlockWasStoredWrongly)
{
    sim::SimOptions options;
    options.faults.corruptWriteAt = 40;
    h().startSim(options);
    std::string file = h().path("user.dat");
    writeFile(file, settingsFileBytes(86));
    ProcessResult r = h().runOnPort({"-u", file, "-R"}, 60s);
    EXPECT_EQ(r.exitStatus, 1);
    std::vector<uint8_t> area = settingsArea(h());
    EXPECT_EQ(maskTimes(r.out), settingsUpdateOutput(sim::fwCrc32(area.data(), area.size()), backupLine(h()), false));
    EXPECT_FALSE(h().adapter().resetSeen());
}

TEST_P(SettingsTest, AStrayByteInADumpFailsTheReadAndWritesNoFile)
{
    // Word reads: 6 to connect and check the chip; a backup first reads the
    // serial number (2), then the area.
    struct Case {
        std::string name;
        unsigned strayAt;
        std::vector<std::string> args;
    };
    std::string saved = h().path("saved.dat");
    std::string settings = h().path("user.dat");
    writeFile(saved, std::vector<uint8_t>(10, 's'));
    writeFile(settings, settingsFileBytes(87));
    for (const Case& c : {Case{"-s, first word", 7, {"-s", saved}}, Case{"-s, last word", 6 + 1024, {"-s", saved}},
                          Case{"backup before -u", 6 + 2 + 500, {"-u", settings}}}) {
        SCOPED_TRACE(c.name);
        DeviceHarness run(GetParam().make());
        sim::SimOptions options;
        options.faults.strayByteAt['w'] = c.strayAt;
        run.startSim(options);
        std::vector<uint8_t> before = run.adapter().flashSnapshot();
        ProcessResult r = run.runOnPort(c.args, 60s);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "Try to open USB device ... \nSAM-BA operation failed\n");
        EXPECT_EQ(readFile(saved), std::vector<uint8_t>(10, 's'));
        EXPECT_TRUE(run.backups().empty());
        EXPECT_EQ(countCommands(run, "X"), 0u);
        EXPECT_TRUE(run.adapter().flashSnapshot() == before);
    }
}

// A read that finds no settings in the area names the newest backup of this
// adapter, else asks for a file saved earlier; the save itself goes on. A
// valid area costs no read of the serial number. The backup of a write that
// then completes names nothing (the write put the area right); that of an
// update that erased the area keeps its line.
TEST_P(SettingsTest, AReadOfNoValidSettingsNamesTheWayBack)
{
    std::vector<uint8_t> flash;
    {
        sim::AdapterSim fresh;
        ASSERT_TRUE(fresh.start());
        flash = fresh.flashSnapshot();
    }
    const std::string backup = h().backupDir() + "/QE012345-20260101-101010.dat";
    const std::string invalid = "The adapter's settings area holds no valid settings (an interrupted write?); ";
    const std::string saved = h().path("saved.dat");
    const ErasingRun write = erasingRuns(h())[0], update = erasingRuns(h())[1];
    const struct {
        const char* what;
        size_t written;  // bytes of the area still as they were, the rest blank
        bool backedUp;
        std::string says;  // then " with: PelagoXcon -p PORT -u ..."
        std::vector<std::string> args = {};  // -s SAVED unless given
    } cases[] = {
        {"half written, with a backup", 0x800, true, invalid + "restore the newest backup of this adapter"},
        {"blank, no backup", 0, false, "The adapter's settings area is blank; restore a setting file saved earlier"},
        {"valid", 0x1000, true, ""},
        {"half written, then written", 0x800, true, "", write.args},
        {"half written, then erased by an update", 0x800, true, invalid + "restore the newest backup of this adapter",
         update.args},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(h().backupDir());
        if (c.backedUp) {
            std::filesystem::create_directories(h().backupDir());
            writeFile(backup, flashRange(flash, 0x1F000, 0x1000));
        }
        std::vector<uint8_t> start = flash;
        std::fill(start.begin() + 0x1F000 + c.written, start.begin() + 0x20000, 0xFF);
        sim::SimOptions options;
        options.stateFile = h().path(std::string(c.what) + ".bin");  // the adapter before saves its own at stop
        writeFile(options.stateFile, start);
        h().startSim(options);
        const bool save = c.args.empty();
        ProcessResult r = h().runOnPort(save ? std::vector<std::string>{"-s", saved} : c.args, 60s);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        std::string wayBack = c.says.empty() ? "" : c.says + " with: PelagoXcon -p " + h().port() + " -u " +
                                                        (c.backedUp ? backup : "FILE") + "\n";
        EXPECT_EQ(r.err, "Try to open USB device ... " + wayBack);
        if (save) {
            EXPECT_EQ(readFile(saved), flashRange(start, 0x1F000, 0x1000));
            EXPECT_EQ(h().commands("w00000FF8").size(), c.says.empty() ? 0u : 1u);
        }
    }
}
