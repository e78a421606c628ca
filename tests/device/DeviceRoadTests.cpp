// The device road end to end: port choice, chip check, link modes, the
// fixed order of the blocks, and the identity block at its edges.
#include <fcntl.h>
#include <locale.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <clocale>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <regex>

#include "DeviceExpect.h"
#include "NativeDeviceSuites.h"
#include "Printable.h"
#include "PtyPair.h"

using namespace std::chrono_literals;

namespace {

const std::string kNoAnswer = "The port opened but the adapter's boot monitor did not answer: is this the "
                              "adapter's port, and is the adapter plugged in and in its boot monitor?\n";

// The unprivileged user the tool runs as when a test must not be root,
// whom the exclusive-open flag does not let through.
constexpr uid_t kNobody = 65534;
constexpr const char* kSetpriv = "/usr/bin/setpriv";
constexpr int kHolderReadyMs = 5000;
constexpr const char* kHolderName = "pelago-holder";
// A name that would retitle the user's terminal and clear it if printed raw.
constexpr const char* kHostileName = "\x1b]2;pwned\x07\x1b[2J";

enum class Hold { None, ExclusiveFlag, Lock };

// Another program of the same user holding the port open, the way a
// terminal program would; named `name` in /proc ("pelago-holder").
class PortHolder {
public:
    PortHolder(const std::string& port, Hold how, const char* name = kHolderName) : _name(name)
    {
        int ready[2];
        if (how == Hold::None || pipe2(ready, O_CLOEXEC) != 0)
            return;
        _pid = fork();
        if (_pid == 0) {
            close(ready[0]);
            holdAsNobody(port, how, ready[1], name);
        }
        close(ready[1]);
        pollfd pfd{ready[0], POLLIN, 0};
        char ok = 0;
        _ready = poll(&pfd, 1, kHolderReadyMs) == 1 && read(ready[0], &ok, 1) == 1;
        close(ready[0]);
    }
    ~PortHolder()
    {
        if (_pid > 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    bool ready() const { return _ready; }
    // As the tool shows it, with the name's control bytes escaped.
    std::string shownName() const { return printable(_name) + " (pid " + std::to_string(_pid) + ")"; }

private:
    // In the child: only system calls until it is killed.
    [[noreturn]] static void holdAsNobody(const std::string& port, Hold how, int ready, const char* name)
    {
        if (setgroups(0, nullptr) != 0 || setresgid(kNobody, kNobody, kNobody) != 0 ||
            setresuid(kNobody, kNobody, kNobody) != 0)
            _exit(1);
        // Changing the user made the process undumpable, which would hide
        // its descriptors from the tool's look into /proc, and cleared the
        // signal that ends it with a test that dies first.
        prctl(PR_SET_DUMPABLE, 1);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, name);
        int fd = open(port.c_str(), O_RDWR | O_NOCTTY);
        bool held = fd >= 0 && (how == Hold::ExclusiveFlag ? ioctl(fd, TIOCEXCL) : flock(fd, LOCK_EX)) == 0;
        if (!held || write(ready, "1", 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }

    std::string _name;
    pid_t _pid = -1;
    bool _ready = false;
};

ProcessResult runAsNobody(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"--reuid=" + std::to_string(kNobody), "--regid=" + std::to_string(kNobody),
                                    "--clear-groups", PELAGO_EXE};
    all.insert(all.end(), args.begin(), args.end());
    return runProcess(kSetpriv, all, "", 20s);
}

// Each line as a terminal finally shows it: what follows its last '\r'.
std::string terminalView(const std::string& out)
{
    std::string view, line;
    for (char c : out) {
        if (c == '\r')
            line.clear();
        else if (c == '\n')
            view += line + '\n', line.clear();
        else
            line += c;
    }
    return view + line;
}

// `columns` wide (0: a terminal that reports no size); `resize`, when
// given, is the width it takes once the first bar is drawn.
ProcessResult runWithStdoutOnTerminal(DeviceHarness& h, std::vector<std::string> args, unsigned short columns = 0,
                                      unsigned short resize = 0)
{
    args.insert(args.begin(), {"PelagoXcon", "-p", h.port()});
    // The piped run's backup goes first, so this run's takes the same name
    // and not the next free one (within the same second).
    std::filesystem::remove_all(h.backupDir());
    Subprocess child(PELAGO_EXE, args, {"PELAGOXCON_BACKUP_DIR=" + h.backupDir()});
    child.stdoutOnTerminal();
    child.setTerminalColumns(columns);
    if (resize > 0)
        child.onOutput("[", [&] { child.setTerminalColumns(resize); });
    child.start();
    return child.finish(60s);
}

// Every drawing of the bar: the text between carriage returns and line ends
// that holds one.
std::vector<std::string> barDrawings(const std::string& out)
{
    std::vector<std::string> drawings;
    std::string piece;
    for (char c : out + '\n') {
        if (c != '\r' && c != '\n') {
            piece += c;
            continue;
        }
        if (piece.find('%') != std::string::npos)
            drawings.push_back(piece);
        piece.clear();
    }
    return drawings;
}

// The last drawing of a write's bar with the text that follows it on its
// line (" Done" after a settings write, nothing before the firmware's "Done").
std::string finalWriteDrawing(const std::string& out)
{
    size_t done = out.rfind("Done\n", out.find("Checksum of"));
    if (done == std::string::npos || done == 0)
        return "";
    size_t end = out[done - 1] == '\n' ? done - 1 : done + 4;
    size_t start = out.rfind('\r', end);
    return start == std::string::npos ? "" : out.substr(start + 1, end - start - 1);
}

} // namespace

TEST_P(DeviceRoadTest, PortWithNothingBehindIt)
{
    std::string missing = h().launcher().portName("/dev/pelago-no-such-port");
    ProcessResult r = h().run({"-p", missing, "-i"}, 20s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("Try to open USB device ... No device found on " + missing + "\n"), 0u) << r.err;
    EXPECT_TRUE(endsWith(r.err, "\n") && r.err.find("does not exist") != std::string::npos) << r.err;

    r = h().run({"-p", "", "-i"}, 20s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "No port name was given\n");

    // A terminal that opens but never answers: both attempts time out.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    std::string silent = h().launcher().portName(pty.slavePath());
    r = h().run({"-p", silent, "-i"}, 20s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + silent + "\n" + kNoAnswer);
    EXPECT_LT(r.elapsed, 5s);
}

// Root opens ports it may not and passes the exclusive-open flag; a user
// meets both, so the tool runs as one here.
TEST_P(DeviceRoadTest, AnOrdinaryUserIsToldWhyThePortFailed)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the effective UID is not 0 (dropping privileges needs root)";
    if (access(kSetpriv, X_OK) != 0)
        GTEST_SKIP() << kSetpriv << " is not executable (it drops the privileges)";
    ProcessResult probe = runAsNobody({"-h"});
    if (probe.exitStatus != 1 || probe.out.empty())
        GTEST_SKIP() << "user " << kNobody << " cannot run " << PELAGO_EXE << ": " << probe.err;

    const struct {
        const char* what;
        mode_t mode;  // of the port; 0: a port that does not exist
        Hold hold;
        std::string says;
        const char* group = nullptr;  // given to the port when set
        const char* holderName = kHolderName;
    } cases[] = {
        {"owner only", 0600, Hold::None, "Permission denied: only its owner 'root' may open the port"},
        {"a terminal", 0620, Hold::None, "Permission denied: the port is another user's terminal, not a serial adapter",
         "tty"},
        {"exclusive flag", 0666, Hold::ExclusiveFlag, "The port is in use by pelago-holder (pid "},
        {"lock", 0666, Hold::Lock, "The port is in use by pelago-holder (pid "},
        {"hostile name", 0666, Hold::Lock, "The port is in use by \\x1B]2;pwned\\x07\\x1B[2J (pid ", nullptr,
         kHostileName},
        {"missing", 0, Hold::None, "The port does not exist"},
        {"silent", 0666, Hold::None, kNoAnswer},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PtyPair pty;
        ASSERT_TRUE(pty.ok());
        std::string port = c.mode ? pty.slavePath() : "/dev/pelago-no-such-port";
        if (c.mode) {
            ASSERT_EQ(chmod(port.c_str(), c.mode), 0);
        }
        if (c.group) {
            const group* g = getgrnam(c.group);
            ASSERT_NE(g, nullptr) << "no group " << c.group;
            ASSERT_EQ(chown(port.c_str(), 0, g->gr_gid), 0);
        }
        PortHolder holder(port, c.hold, c.holderName);
        ASSERT_TRUE(c.hold == Hold::None || holder.ready()) << "the holder could not take the port";

        ProcessResult r = runAsNobody({"-p", port, "-i"});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        const std::string first = "Try to open USB device ... No device found on " + port + "\n";
        ASSERT_EQ(r.err.substr(0, first.size()), first);
        std::string reason = r.err.substr(first.size());
        EXPECT_EQ(reason.find(c.says), 0u) << reason;
        if (c.hold != Hold::None) {
            EXPECT_NE(reason.find(holder.shownName()), std::string::npos) << reason;
        }
        EXPECT_EQ(reason.find('\n'), reason.size() - 1) << "one line: " << reason;
    }
}

TEST_P(DeviceRoadTest, AnotherChipIsNotTakenForTheAdapter)
{
    sim::SimOptions options;
    options.deviceId = 0x1001030A;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 20s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + h().port() + "\n" + kNoAnswer);
    EXPECT_EQ(countCommands(h(), "V#"), 2u) << "both attempts must have judged the chip";
}

TEST_P(DeviceRoadTest, SerialLinkConnectsOnTheSecondAttemptWithAutoBaud)
{
    sim::SimOptions options;
    options.link = sim::LinkMode::Serial;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "Try to open USB device ... ");
    EXPECT_EQ(maskTimes(r.out).find("\nBootloader Version: "), 0u) << r.out;
    EXPECT_TRUE(endsWith(maskTimes(r.out), "ADJ=127\ndone in T seconds\n")) << r.out;
    EXPECT_EQ(h().adapter().sessionCount(), 2u) << "the USB attempt must have come first";
    EXPECT_LT(r.elapsed, 10s);
}

TEST_P(DeviceRoadTest, BlocksRunInFixedOrderAndAnAbortStopsTheRest)
{
    h().startSim();
    std::string file = h().path("user.dat");
    writeFile(file, settingsFileBytes(3));
    ProcessResult r = h().runOnPort({"-i", "-R", "-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    std::string out = maskTimes(r.out);
    size_t settings = out.find("Clearing adapter setting");
    size_t info = out.find("Bootloader Version");
    size_t reset = out.find("CPU reset.");
    EXPECT_LT(settings, info);
    EXPECT_LT(info, reset);
    EXPECT_NE(reset, std::string::npos);

    unsigned resets = h().adapter().resetCount();
    r = h().runOnPort({"-i", "-R", "-u", h().path("missing.dat")}, 30s);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nFailed in opening adapter setting file " + h().path("missing.dat") + ", abort\n");
    EXPECT_EQ(h().adapter().resetCount(), resets);
}

TEST_P(DeviceRoadTest, ProgressIsABarOnATerminalAndAsBeforeElsewhere)
{
    h().startSim();
    sim::MkfwOptions whole;
    whole.wholeArea = true;  // keeps the adapter's identity, so it runs twice
    std::string firmware = writeFirmware(h(), "full.fw", patternBytes(0x1E000, 70), whole);
    std::string settings = h().path("user.dat");
    writeFile(settings, settingsFileBytes(71));
    struct Case {
        std::vector<std::string> args;
        std::string dots;     // what a pipe gets where the bar goes
        std::string started;  // the first drawing of the bar
        std::string ended;    // the last one, right where the dots end ("": blanked out)
    };
    const Case cases[] = {
        {{"-f", firmware}, std::string(1920, '.'), "]   0%   0/120 KiB", "] 100% 120/120 KiB"},
        {{"-u", settings}, std::string(64, '.'), "]   0%    0/4096 B", "] 100% 4096/4096 B"},
        {{"-s", h().path("saved.dat")}, "", "]   0%    0/4096 B", ""},
    };
    const std::regex bar(R"(\[[#-]+\] +\d+% +\d+/\d+ (KiB|B) +\d+\.\ds)");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        ProcessResult piped = h().runOnPort(c.args, 60s);
        ProcessResult onTerminal = runWithStdoutOnTerminal(h(), c.args);
        EXPECT_EQ(piped.exitStatus, 0);
        EXPECT_EQ(onTerminal.exitStatus, 0);
        EXPECT_EQ(onTerminal.err, piped.err);
        EXPECT_EQ(piped.out.find('\r'), std::string::npos);
        EXPECT_NE(onTerminal.out.find(c.started), std::string::npos) << onTerminal.out;
        if (!c.ended.empty()) {
            EXPECT_NE(onTerminal.out.find(c.ended), std::string::npos) << onTerminal.out;
        }

        // Without its bar (a terminal) or its dots (a pipe), the output is the same.
        std::string pipedText = maskTimes(piped.out);
        if (!c.dots.empty())
            pipedText.replace(pipedText.find(c.dots), c.dots.size(), "");
        EXPECT_EQ(std::regex_replace(maskTimes(terminalView(onTerminal.out)), bar, ""), pipedText);
    }
}

// The bar fills the width the terminal has at each redraw, less one column,
// and never more; below 30 columns the dots come instead.
TEST_P(DeviceRoadTest, ProgressBarTakesTheTerminalsWidth)
{
    h().startSim();
    std::string firmware = writeFirmware(h(), "f.fw", patternBytes(0x8000, 72));
    std::string settings = h().path("user.dat");
    writeFile(settings, settingsFileBytes(73));
    const struct {
        std::vector<std::string> args;
        unsigned short columns, resize;
    } cases[] = {
        {{"-u", settings}, 132, 0},
        {{"-u", settings}, 40, 0},  // the label is cut, the figures stay whole
        {{"-u", settings}, 30, 0},  // " Done" leaves no room for a bar at the end: the figures alone
        {{"-I", "-f", firmware}, 100, 40},
        {{"-I", "-f", firmware}, 40, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back() + " " + std::to_string(c.columns) + " then " + std::to_string(c.resize));
        ProcessResult r = runWithStdoutOnTerminal(h(), c.args, c.columns, c.resize);
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        std::vector<std::string> drawings = barDrawings(r.out);
        ASSERT_FALSE(drawings.empty()) << r.out;
        const size_t widest = std::max(c.columns, c.resize) - 1u;
        for (const std::string& d : drawings)
            EXPECT_LE(d.size(), widest) << d;
        EXPECT_EQ(drawings.front().size(), c.columns - 1u) << drawings.front();
        std::string last = finalWriteDrawing(r.out);
        EXPECT_EQ(last.size(), (c.resize ? c.resize : c.columns) - 1u) << last;
        EXPECT_NE(last.find(" 100% "), std::string::npos) << last;
    }

    ProcessResult narrow = runWithStdoutOnTerminal(h(), {"-u", settings}, 29);
    EXPECT_EQ(narrow.exitStatus, 0);
    EXPECT_EQ(narrow.out.find('\r'), std::string::npos);
    EXPECT_NE(narrow.out.find("please wait ... " + std::string(64, '.') + " Done\n"), std::string::npos) << narrow.out;
}

TEST_P(InfoTest, BlankFlashPrintsAllOnes)
{
    sim::SimOptions options;
    options.blank = true;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    // Escaped in any locale: a lone 0xFF is no UTF-8.
    EXPECT_EQ(maskTimes(r.out), infoBlock("\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF\\xFF", "0xFFFF", "0xFFFF", "0xFF",
                                          255, 255, "\\xFF", 255));
    // No firmware, as an interrupted update leaves it: the way back -f names.
    EXPECT_EQ(r.err, "Try to open USB device ... The adapter has no firmware (an interrupted update?); install FILE "
                     "anyway with: PelagoXcon -p " + h().port() + " -I -f FILE\n");
}

// The first thing in `out` a terminal of the locale's character set would
// act on (a C0 control but the line end, DEL, a C1 control; in UTF-8 also
// a byte of no valid character), as \xHH; empty when there is none.
std::string firstControl(const std::string& out, bool utf8, locale_t utf8Locale)
{
    locale_t previous = uselocale(utf8Locale);
    std::mbstate_t state{};
    std::string found;
    for (size_t at = 0, length = 1; at < out.size() && found.empty(); at += length) {
        unsigned char byte = static_cast<unsigned char>(out[at]);
        wchar_t wide = byte;
        length = 1;
        if (utf8 && byte >= 0x80) {
            length = std::mbrtowc(&wide, out.data() + at, out.size() - at, &state);
            if (length == size_t(-1) || length == size_t(-2)) {
                wide = 0x80;  // no character: flagged as a C1 control would be
                length = 1;
            }
        }
        bool control = utf8 ? std::iswcntrl(wide) != 0 : (byte < 0x20 || (byte >= 0x7F && byte < 0xA0));
        if (control && wide != L'\n') {
            char shown[8];
            std::snprintf(shown, sizeof shown, "\\x%02X", byte);
            found = shown;
        }
    }
    uselocale(previous);
    return found;
}

// Whatever the adapter's serial number holds, no byte sequence that a
// terminal takes as a control reaches it, in a UTF-8 or an 8-bit locale.
TEST_P(InfoTest, NoSerialNumberReachesTheTerminalAsAControl)
{
    locale_t utf8Locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (utf8Locale == nullptr)
        GTEST_SKIP() << "the C.UTF-8 locale is not installed";
    const std::string serials[] = {"Q\xC2\x9B" "2J", "\x1B[2J\x9B" "2J", "\xC2\x85" "x\xF0\x9F\x94",
                                   "Gr\xC3\xBC\xC3\x9F" "e"};
    const struct {
        const char* locale;
        bool utf8;
    } locales[] = {{"C.UTF-8", true}, {"en_US.ISO-8859-1", false}, {"C", false}};
    for (const std::string& serial : serials) {
        sim::SimOptions options;
        options.identity.serialNumber = serial;
        h().startSim(options);
        for (const auto& l : locales) {
            SCOPED_TRACE(printable(serial, false) + " in " + l.locale);
            h().launcher().setEnvironment(
                {"PELAGOXCON_BACKUP_DIR=" + h().backupDir(), std::string("LC_ALL=") + l.locale});
            ProcessResult r = h().runOnPort({"-i"}, 30s);
            EXPECT_EQ(r.exitStatus, 0);
            EXPECT_EQ(firstControl(r.out, l.utf8, utf8Locale), "") << r.out;
            if (serial == serials[0]) {
                EXPECT_NE(r.out.find("Adapter SN: Q\\xC2\\x9B2J , "), std::string::npos) << r.out;
            }
        }
    }
    freelocale(utf8Locale);
}

TEST_P(InfoTest, SerialNumberEndsAtItsFirstZeroByteAndAdjIsUnsigned)
{
    sim::SimOptions options;
    options.identity.serialNumber = std::string("QE\0" "45678", 8);
    options.identity.adjWord = 0xFF00;
    options.identity.firmwareWord = 0xFFFE0001;
    options.identity.typeWord = 0x43FF;
    options.identity.pcbVersion = 0x0A0B;
    h().startSim(options);
    ProcessResult r = h().runOnPort({"-i"}, 30s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(maskTimes(r.out), infoBlock("QE", "0x0A0B", "0x0001", "0xFE", 255, 255, "C", 255));
}
