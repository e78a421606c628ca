// Port listing, USB detection and failure reasons over fake sysfs, /dev
// and procfs trees.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "PosixPortFactory.h"
#include "Printable.h"
#include "PtyPair.h"

namespace fs = std::filesystem;

namespace {

// A throw-away directory tree, removed with the fixture.
class FakeTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "sysfs-XXXXXX").string();
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        _root = pattern;
    }
    void TearDown() override { fs::remove_all(_root); }

    void file(const fs::path& rel, const std::string& content)
    {
        fs::create_directories((_root / rel).parent_path());
        std::ofstream(_root / rel) << content;
    }
    // A tty `name` whose device is the directory `deviceDir` (relative to
    // the root), listed in class/tty as sysfs does.
    void tty(const std::string& name, const fs::path& deviceDir, const std::string& type = "")
    {
        fs::path ttyDir = deviceDir / "tty" / name;
        fs::create_directories(_root / ttyDir);
        fs::create_directory_symlink(fs::path("../.."), _root / ttyDir / "device");
        if (!type.empty())
            file(ttyDir / "type", type + "\n");
        fs::create_directories(_root / "class/tty");
        fs::create_directory_symlink(fs::path("../..") / ttyDir, _root / "class/tty" / name);
    }
    void usbInterface(const fs::path& dir) { file(dir / "bInterfaceNumber", "00\n"); }
    // The device node of `name` in the fake /dev, as the factory names it.
    std::string dev(const std::string& name) const { return (_root / "dev").string() + "/" + name; }
    PosixPortFactory factory() const
    {
        return PosixPortFactory(_root.string(), (_root / "proc").string(), (_root / "dev").string());
    }

    // The layout of a host with USB and plain serial ports.
    void populate()
    {
        const fs::path hub = "devices/pci0000:00/0000:00:14.0/usb1";
        for (const char* n : {"10", "2", "0"}) {
            fs::path intf = hub / ("1-" + std::string(n)) / ("1-" + std::string(n) + ":1.0");
            usbInterface(intf);
            tty(std::string("ttyACM") + n, intf);
        }
        fs::path converter = hub / "1-4/1-4:1.0";
        usbInterface(converter);
        tty("ttyUSB0", converter / "ttyUSB0");
        tty("ttyS0", "devices/platform/serial8250", "0");
        tty("ttyS3", "devices/platform/serial8250", "0");
        tty("ttyS1", "devices/pnp0/00:05", "4");
        // Every port but ttyUSB0 has its device node.
        for (const char* n : {"ttyACM0", "ttyACM2", "ttyACM10", "ttyS0", "ttyS1", "ttyS3"})
            file(fs::path("dev") / n, "");
        fs::create_directories(_root / "devices/virtual/tty/tty0");
        fs::create_directory_symlink(fs::path("../../devices/virtual/tty/tty0"), _root / "class/tty/tty0");
    }

    std::vector<std::string> walk(PosixPortFactory& f)
    {
        std::vector<std::string> names;
        for (std::string n = f.begin(); n != f.end(); n = f.next())
            names.push_back(n);
        return names;
    }

    fs::path _root;
};

TEST_F(FakeTree, ListsRealPortsWithANodeInNaturalOrder)
{
    populate();
    PosixPortFactory f = factory();
    EXPECT_EQ(walk(f), (std::vector<std::string>{dev("ttyACM0"), dev("ttyACM2"), dev("ttyACM10"), dev("ttyS1")}));
    EXPECT_EQ(f.next(), "") << "stays at the end";
}

TEST_F(FakeTree, BeginRestartsAndNextNeedsBegin)
{
    populate();
    PosixPortFactory f = factory();
    EXPECT_EQ(f.next(), "");
    EXPECT_EQ(f.begin(), dev("ttyACM0"));
    EXPECT_EQ(f.next(), dev("ttyACM2"));
    EXPECT_EQ(f.begin(), dev("ttyACM0"));
    EXPECT_EQ(f.next(), dev("ttyACM2"));
}

TEST_F(FakeTree, EmptyOrMissingTreeEndsAtOnce)
{
    PosixPortFactory missing((_root / "nothing").string());
    EXPECT_EQ(missing.begin(), "");
    fs::create_directories(_root / "class/tty");
    PosixPortFactory empty(_root.string());
    EXPECT_EQ(empty.begin(), "");
    EXPECT_EQ(empty.next(), "");
}

TEST_F(FakeTree, UsbPortsAreToldByTheirAncestry)
{
    populate();
    PosixPortFactory factory(_root.string());
    EXPECT_TRUE(factory.create("/dev/ttyACM10")->isUsb());
    EXPECT_TRUE(factory.create("ttyACM0")->isUsb());
    EXPECT_TRUE(factory.create("/dev/ttyUSB0")->isUsb()) << "converter port one level below the interface";
    EXPECT_FALSE(factory.create("/dev/ttyS1")->isUsb());
    EXPECT_FALSE(factory.create("ttyS0")->isUsb());
    EXPECT_FALSE(factory.create("/dev/ttyNOPE")->isUsb());
    EXPECT_FALSE(factory.create("tty0")->isUsb());

    SerialPort::Ptr forced = factory.create("/dev/ttyS1", true);
    EXPECT_TRUE(forced->isUsb());
    EXPECT_EQ(forced->name(), "/dev/ttyS1");
}

TEST_F(FakeTree, UsbMarkAboveTheSysfsRootIsNotSeen)
{
    usbInterface("");
    tty("ttyS1", "devices/pnp0/00:05", "4");
    EXPECT_FALSE(PosixPortFactory(_root.string()).create("ttyS1")->isUsb());
}

TEST_F(FakeTree, MacCalloutDevices)
{
    for (const char* n : {"cu.usbmodem1410", "cu.usbmodem101", "tty.usbmodem101", "cu.Bluetooth-Incoming-Port",
                          "cu.usbserial-A9", "null"})
        file(n, "");
    EXPECT_EQ(PosixPortFactory::calloutPorts(_root.string()),
              (std::vector<std::string>{"cu.Bluetooth-Incoming-Port", "cu.usbmodem101", "cu.usbmodem1410",
                                        "cu.usbserial-A9"}));
    EXPECT_TRUE(PosixPortFactory::isUsbCalloutName("/dev/cu.usbmodem101"));
    EXPECT_TRUE(PosixPortFactory::isUsbCalloutName("cu.usbserial-A9"));
    EXPECT_FALSE(PosixPortFactory::isUsbCalloutName("/dev/cu.Bluetooth-Incoming-Port"));
    EXPECT_FALSE(PosixPortFactory::isUsbCalloutName("/dev/tty.usbmodem101"));
}

TEST_F(FakeTree, FailuresAreExplainedWithWhatToDo)
{
    populate();
    PtyPair pty;  // a real device: holders are matched by device number
    ASSERT_TRUE(pty.ok());
    const std::string port = pty.slavePath();
    fs::create_directories(_root / "links");
    fs::create_symlink(port, _root / "links/alias");
    const fs::path dev = _root / "dev/ttyDENIED";
    file("dev/ttyDENIED", "");
    struct stat st{};
    ASSERT_EQ(stat(dev.c_str(), &st), 0);
    const group* g = getgrgid(st.st_gid);
    const std::string fileGroup = g ? g->gr_name : std::to_string(st.st_gid);
    // A process in the fake procfs, holding `target` open unless it is "".
    auto process = [&](const std::string& pid, const std::string& comm, const std::string& target) {
        file(fs::path("proc") / pid / "comm", comm + "\n");
        fs::create_directories(_root / "proc" / pid / "fd");
        if (!target.empty())
            fs::create_symlink(target, _root / "proc" / pid / "fd/4");
    };
    const std::string mmAdvice = "'sudo systemctl stop ModemManager', or for good with a udev rule setting "
                                 "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    const struct {
        const char* what;
        std::function<void()> setUp;
        std::string name;
        SerialPort::OpenResult result;
        std::vector<std::string> says;
    } cases[] = {
        {"missing port", [] {}, "/dev/ttyACM9", SerialPort::OpenNotFound,
         {"The port does not exist; the serial ports found are: " + this->dev("ttyACM0") + ", " +
          this->dev("ttyACM2") + ", " + this->dev("ttyACM10") + ", " + this->dev("ttyS1")}},
        {"group may open", [&] { fs::permissions(dev, fs::perms(0660)); }, dev.string(), SerialPort::OpenDenied,
         {"Permission denied: the port belongs to group '" + fileGroup + "'; join it with 'sudo usermod -aG " +
          fileGroup + " $USER', then log in again, or give your user the port with a udev rule"}},
        {"owner only", [&] { fs::permissions(dev, fs::perms(0600)); }, dev.string(), SerialPort::OpenDenied,
         {"Permission denied: only its owner '", "not its group '" + fileGroup + "'",
          "'sudo usermod -aG dialout $USER'"}},
        {"denied, gone", [] {}, "/dev/ttyPELAGO-gone", SerialPort::OpenDenied, {"Permission denied: your user may not"}},
        {"no holder seen", [] {}, port, SerialPort::OpenInUse,
         {"The port is in use by another program; close it and try again"}},
        {"other devices held", [&] { process("700", "decoy", "/dev/null"); }, port, SerialPort::OpenInUse,
         {"The port is in use by another program; close it and try again"}},
        {"holder seen", [&] { process("900", "minicom", (_root / "links/alias").string()); }, port,
         SerialPort::OpenInUse, {"The port is in use by minicom (pid 900); close that program and try again"}},
        {"ModemManager runs", [&] { process("812", "ModemManager", ""); }, port, SerialPort::OpenInUse,
         {"The port is in use by minicom (pid 900)"}},
        {"ModemManager hidden", [&] { fs::remove_all(_root / "proc/900"); }, port, SerialPort::OpenInUse,
         {"in use by another program, likely ModemManager (pid 812), which probes", mmAdvice}},
        {"ModemManager holds", [&] { process("813", "ModemManager", port); }, port, SerialPort::OpenInUse,
         {"The port is in use by ModemManager (pid 813), which probes new ports for modems", mmAdvice}},
        {"opened", [] {}, port, SerialPort::OpenOk, {"did not answer"}},
        {"failed", [] {}, port, SerialPort::OpenFailed, {"could not be opened or set up"}},
    };
    PosixPortFactory f = factory();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.setUp();
        std::string line = f.explainFailure(c.name, c.result);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        for (const std::string& part : c.says)
            EXPECT_NE(line.find(part), std::string::npos) << line;
    }
    fs::remove_all(_root / "class");
    EXPECT_EQ(f.explainFailure("/dev/ttyACM9", SerialPort::OpenNotFound),
              "The port does not exist, and no serial ports were found: is the adapter plugged in?");
}

// A container or chroot with its own devpts has a /dev/pts/N of its own:
// its holder shows the same link text as ours, but is another device.
TEST(PortHolder, APtyOfAnotherDevptsWithTheSameNameIsNotOurs)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string port = ptsname(master);  // nobody opens its slave here
    const int number = std::stoi(port.substr(port.rfind('/') + 1));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    // The child's first failing step, with its errno; the skip names it.
    enum Step : int { Ready, Unshare, PrivateRoot, MountDevpts, OpenTwin };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Its own mount namespace with a new devpts instance on /dev/pts;
        // holds that instance's pty of the same number as our port.
        int report[2] = {Ready, 0};
        if (unshare(CLONE_NEWNS) != 0)
            report[0] = Unshare;
        else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            report[0] = PrivateRoot;
        else if (mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0)
            report[0] = MountDevpts;
        else {
            int other = -1;
            for (int n = 0; n <= number; ++n) {
                other = ::open("/dev/pts/ptmx", O_RDWR | O_NOCTTY);
                if (other < 0 || grantpt(other) != 0 || unlockpt(other) != 0)
                    _exit(1);
            }
            if (::open(port.c_str(), O_RDWR | O_NOCTTY) < 0)
                report[0] = OpenTwin;
            prctl(PR_SET_NAME, "decoy-ns");
        }
        if (report[0] != Ready)
            report[1] = errno;
        if (::write(ready[1], report, sizeof report) != sizeof report)
            _exit(1);
        pause();
        _exit(0);
    }
    ::close(ready[1]);
    int report[2] = {-1, 0};
    bool started = ::read(ready[0], report, sizeof report) == sizeof report;
    ::close(ready[0]);
    std::string line;
    if (started && report[0] == Ready)
        line = PosixPortFactory().explainFailure(port, SerialPort::OpenInUse);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ::close(master);
    const std::string why = std::strerror(report[1]);
    switch (report[0]) {
    case Ready:
        break;
    case Unshare:
        GTEST_SKIP() << "no mount namespace of its own: unshare(CLONE_NEWNS): " << why;
    case PrivateRoot:
        GTEST_SKIP() << (report[1] == EINVAL ? "/ is not a mount point" : "/ cannot be made private: " + why)
                     << ", so a devpts instance of its own cannot be mounted";
    case MountDevpts:
        GTEST_SKIP() << "a new devpts instance cannot be mounted on /dev/pts: " << why;
    case OpenTwin:
        GTEST_SKIP() << "the new devpts instance has no pty " << port << " to hold: " << why;
    default:
        GTEST_SKIP() << "the child that mounts a devpts instance of its own did not report";
    }
    EXPECT_EQ(line.find("decoy-ns"), std::string::npos) << line;
    EXPECT_NE(line.find("The port is in use by another program"), std::string::npos) << line;
}

TEST(NaturalOrder, DigitRunsCompareByValue)
{
    using F = PosixPortFactory;
    EXPECT_TRUE(F::naturalLess("ttyACM2", "ttyACM10"));
    EXPECT_FALSE(F::naturalLess("ttyACM10", "ttyACM2"));
    EXPECT_TRUE(F::naturalLess("ttyACM9", "ttyS0"));
    EXPECT_TRUE(F::naturalLess("tty", "tty0"));
    EXPECT_FALSE(F::naturalLess("ttyS1", "ttyS1"));
    EXPECT_NE(F::naturalLess("tty01", "tty1"), F::naturalLess("tty1", "tty01"));
    EXPECT_TRUE(F::naturalLess("ttyS99999999999999999999", "ttyS100000000000000000000"));
}

// What a terminal would take as a control is escaped; in a UTF-8 locale
// other UTF-8 is kept, in any other every byte from 0x80 up is escaped.
TEST(PrintableText, ControlsAreEscapedInTheLocalesCharacterSet)
{
    const struct {
        std::string text, inUtf8, inOther;
    } cases[] = {
        {"plain /dev/ttyACM0", "plain /dev/ttyACM0", "plain /dev/ttyACM0"},
        {"\x1b]2;pwned\x07\x1b[2J", "\\x1B]2;pwned\\x07\\x1B[2J", "\\x1B]2;pwned\\x07\\x1B[2J"},
        {std::string("a\0b\n\x1f\x7f", 6), "a\\x00b\\x0A\\x1F\\x7F", "a\\x00b\\x0A\\x1F\\x7F"},
        {"Gr\xc3\xbc\xc3\x9f" "e", "Gr\xc3\xbc\xc3\x9f" "e", "Gr\\xC3\\xBC\\xC3\\x9F" "e"},
        {"Q\xc2\x9b" "2J", "Q\\xC2\\x9B" "2J", "Q\\xC2\\x9B" "2J"},        // U+009B, CSI
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xC2\\x80\\xC2\\x9F\xc2\xa0", "\\xC2\\x80\\xC2\\x9F\\xC2\\xA0"},
        {"\x9b" "2J\xff\x80", "\\x9B" "2J\\xFF\\x80", "\\x9B" "2J\\xFF\\x80"},  // lone bytes
        {"\xc2", "\\xC2", "\\xC2"},                                             // cut short
        {"\xc1\x9b\xe0\x82\x9b", "\\xC1\\x9B\\xE0\\x82\\x9B", "\\xC1\\x9B\\xE0\\x82\\x9B"},  // overlong CSI
        {"\xed\xa0\x80\xf4\x90\x80\x80", "\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80",
         "\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80"},                               // surrogate, past U+10FFFF
        {"\xf0\x9f\x94\x8c", "\xf0\x9f\x94\x8c", "\\xF0\\x9F\\x94\\x8C"},
        {"back\\slash", "back\\slash", "back\\slash"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(printable(c.text, true), c.inUtf8) << c.inUtf8;
        EXPECT_EQ(printable(c.text, false), c.inOther) << c.inOther;
    }
}

TEST(PrintableText, TheLocaleVariablesNameTheCharacterSet)
{
    const struct {
        const char *all, *ctype, *lang;
        bool utf8;
    } cases[] = {
        {nullptr, nullptr, "en_US.UTF-8", true},
        {nullptr, nullptr, "de_DE.utf8@euro", true},
        {"C", nullptr, "en_US.UTF-8", false},       // LC_ALL first
        {"", "C.UTF-8", "POSIX", true},             // an empty one counts as unset
        {nullptr, "en_US.ISO-8859-1", "C.UTF-8", false},
        {nullptr, nullptr, "en_US", false},
        {nullptr, nullptr, nullptr, false},
    };
    const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
    std::string saved[3];
    bool had[3];
    for (int i = 0; i < 3; ++i)
        if ((had[i] = std::getenv(names[i]) != nullptr))
            saved[i] = std::getenv(names[i]);
    for (const auto& c : cases) {
        const char* values[] = {c.all, c.ctype, c.lang};
        for (int i = 0; i < 3; ++i)
            if (values[i] != nullptr)
                setenv(names[i], values[i], 1);
            else
                unsetenv(names[i]);
        EXPECT_EQ(consoleIsUtf8(), c.utf8) << (c.lang ? c.lang : "-");
    }
    for (int i = 0; i < 3; ++i)
        if (had[i])
            setenv(names[i], saved[i].c_str(), 1);
        else
            unsetenv(names[i]);
}

} // namespace
