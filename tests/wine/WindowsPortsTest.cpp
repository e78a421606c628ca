// The Windows port layer under wine, in a prefix of its own: the scan's
// "Ports" devices come from registry entries (ScanPorts.reg), a COM port is
// a dosdevices link, and a raw device target defined by WinPortProbe makes
// the adapter's port a USB one. The COM numbers, the defined target and the
// cfgmgr32 double's directory belong to the prefix, so each test holds the
// prefix's lock for its whole run.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "AdapterSim.h"
#include "DeviceHarness.h"
#include "PtyPair.h"
#include "SerialPort.h"
#include "WineEnvironment.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr auto kRunTimeout = 60s;
// What the scan must list: the nameless device and the printer port are
// passed over. Only these names may ever be opened by a scan here.
constexpr const char* kListedPorts = "COM31\nCOM32\n";
constexpr const char* kAdapterPort = "COM32";
constexpr const char* kAdapterDevice = "PELAGOTEST\\D_ADAPTER\\0";
constexpr const char* kSparePort = "COM33";  // not listed; the port tests' own
constexpr const char* kUsbTarget = "\\Device\\USBSER000";

WinePrefix& scanPrefix()
{
    static WinePrefix prefix(WineSetup{ENV_PROGRAM, WINE_PROGRAM, WINESERVER_PROGRAM, WINE_SCAN_PREFIX_DIR});
    return prefix;
}

std::string windowsPath(const std::string& unixPath)
{
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string readText(const std::string& path)
{
    std::vector<uint8_t> bytes = readFile(path);
    return windowsToUnixLineEnds(std::string(bytes.begin(), bytes.end()));
}

class SlaveSide {
public:
    explicit SlaveSide(const std::string& path) : _fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {}
    ~SlaveSide()
    {
        if (_fd >= 0)
            ::close(_fd);
    }
    SlaveSide(const SlaveSide&) = delete;
    SlaveSide& operator=(const SlaveSide&) = delete;
    speed_t speed() const
    {
        termios line{};
        return _fd >= 0 && tcgetattr(_fd, &line) == 0 ? cfgetospeed(&line) : B0;
    }

private:
    int _fd;
};

class WindowsPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        _lock = std::make_unique<FileLock>(_dir + ".tests.lock");
        ASSERT_TRUE(_lock->held());
        std::string error;
        ASSERT_TRUE(scanPrefix().prepare(error)) << error;
        ASSERT_EQ(scanPrefix().runWindowsProgram("regedit", {"/S", windowsPath(SCAN_PORTS_REG)}, "", kRunTimeout)
                      .exitStatus,
                  0);
        // Wine links the host's ttyS* as low COM numbers: none may stay reachable.
        for (const auto& entry : fs::directory_iterator(scanPrefix().dosDevicesDir()))
            if (entry.path().filename().string().rfind("com", 0) == 0)
                fs::remove(entry.path());
        ASSERT_EQ(probe({"list"}).out, kListedPorts);
    }

    ProcessResult probe(const std::vector<std::string>& args)
    {
        return scanPrefix().runWindowsProgram(WIN_PORT_PROBE_EXE, args, "", kRunTimeout);
    }

    void link(const std::string& comName, const std::string& target)
    {
        std::string lower = "com" + comName.substr(3);
        fs::create_symlink(target, fs::path(scanPrefix().dosDevicesDir()) / lower);
    }

    const std::string _dir = WINE_SCAN_PREFIX_DIR;

private:
    std::unique_ptr<FileLock> _lock;
};

struct ScanCase {
    const char* name;
    bool usb;            // a USB adapter whose port has a USB driver's device target, or a plain serial one
    bool throughCfgMgr;  // the cfgmgr32 double reads the port names, not SetupAPI's fallback
};

class WindowsPortScan : public WindowsPorts, public ::testing::WithParamInterface<ScanCase> {};

// The scan passes the nameless device, the empty COM31 and the printer port
// and finds the adapter; the link is the one its port's device target says.
TEST_P(WindowsPortScan, FindsTheAdapterBehindTheOtherPorts)
{
    const ScanCase& c = GetParam();
    sim::SimOptions options;
    options.link = c.usb ? sim::LinkMode::Usb : sim::LinkMode::Serial;
    sim::AdapterSim adapter(options);
    std::string error;
    ASSERT_TRUE(adapter.start(&error)) << error;
    link(kAdapterPort, adapter.ptyPath());
    // Held open beside the program, so the line speed it set last stays
    // readable (a serial adapter must see each open, so not there).
    std::unique_ptr<SlaveSide> line;
    if (c.usb)
        line = std::make_unique<SlaveSide>(adapter.ptyPath());
    ASSERT_EQ(probe(c.usb ? std::vector<std::string>{"define", kAdapterPort, kUsbTarget}
                                : std::vector<std::string>{"undefine", kAdapterPort})
                  .exitStatus,
              0);

    std::string exe = PELAGO_WINE_EXE;
    std::vector<std::string> environment;
    const std::string marker = _dir + ".cfgmgr-marker";
    fs::remove(marker);
    if (c.throughCfgMgr) {
        // Wine prefers its own cfgmgr32 unless told otherwise, even beside the program.
        fs::path dir = _dir + ".cfgmgr-double";
        fs::create_directories(dir);
        fs::copy_file(PELAGO_WINE_EXE, dir / "PelagoXcon.exe", fs::copy_options::overwrite_existing);
        fs::copy_file(CFGMGR_DOUBLE_DLL, dir / "cfgmgr32.dll", fs::copy_options::overwrite_existing);
        exe = (dir / "PelagoXcon.exe").string();
        environment = {"WINEDLLOVERRIDES=mscoree,mshtml=;cfgmgr32=n", "PELAGO_CFGMGR_MARKER=" + windowsPath(marker)};
    }

    ProcessResult r = scanPrefix().runWindowsProgram(exe, {"-i"}, "", kRunTimeout, environment);
    ASSERT_FALSE(r.timedOut);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("Quorvane adapter found on ") + kAdapterPort + "\n"), std::string::npos)
        << r.out << r.err;
    // Only a USB port is opened at USB speed, and a failed USB attempt would
    // be followed by one at serial speed; a plain port gets one attempt.
    if (c.usb)
        EXPECT_EQ(line->speed(), B921600) << "the adapter answered on the USB link";
    else
        EXPECT_EQ(adapter.sessionCount(), 1u) << "a plain serial port is not tried as USB first";
    std::string calls = readText(marker);
    if (c.throughCfgMgr)
        EXPECT_NE(calls.find(std::string(kAdapterDevice) + "\n"), std::string::npos) << calls;
    else
        EXPECT_EQ(calls, "") << "wine's own configuration manager gives no key; the fallback reads the name";
}

void PrintTo(const ScanCase& c, std::ostream* os)
{
    *os << c.name;
}

INSTANTIATE_TEST_SUITE_P(Wine, WindowsPortScan,
                         ::testing::Values(ScanCase{"UsbThroughSetupApi", true, false},
                                           ScanCase{"SerialThroughSetupApi", false, false},
                                           ScanCase{"UsbThroughCfgMgr", true, true}),
                         [](const ::testing::TestParamInfo<ScanCase>& info) { return info.param.name; });

// Why a port did not open, from Windows' error to the reason's words.
TEST_F(WindowsPorts, AFailedOpenSaysWhy)
{
    fs::path directory = _dir + ".not-a-port";
    fs::create_directories(directory);
    const struct {
        const char* target;  // what the spare COM port links to; null: no link
        SerialPort::OpenResult result;
        const char* words;
    } cases[] = {
        {nullptr, SerialPort::OpenNotFound, "does not exist; the serial ports found are: COM31, COM32"},
        // Wine answers access denied for a directory, as Windows does for a held port.
        {directory.c_str(), SerialPort::OpenInUse, "in use by another program"},
        {"/dev/null", SerialPort::OpenFailed, "is it a serial port?"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target ? c.target : "no link");
        fs::remove(fs::path(scanPrefix().dosDevicesDir()) / "com33");
        if (c.target)
            link(kSparePort, c.target);
        ProcessResult r = probe({"open", kSparePort});
        EXPECT_EQ(r.out.rfind(std::to_string(c.result) + " ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(c.words), std::string::npos) << r.out;
    }
}

// A device that stops reading ends the write after its timeout, not never.
TEST_F(WindowsPorts, AWriteNobodyReadsGivesUp)
{
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    link(kSparePort, pty.slavePath());
    ProcessResult r = probe({"stall", kSparePort});
    ASSERT_FALSE(r.timedOut);
    EXPECT_NE(r.out.find("last write -1"), std::string::npos) << r.out << r.err;
}

} // namespace
