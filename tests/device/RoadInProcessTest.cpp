// The device road run in-process: the port search with a fake port factory
// in front of real ports, the release order, and the clearing action, which
// no option reaches.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "AdapterInfo.h"
#include "AdapterSim.h"
#include "DeviceExpect.h"
#include "DeviceHarness.h"
#include "DeviceRoad.h"
#include "EEPROM_Init.h"
#include "FailureLine.h"
#include "FwCodec.h"
#include "Interrupt.h"
#include "MonitorScript.h"
#include "PosixSerialPort.h"
#include "SettingsTransfer.h"

namespace {

using Events = std::vector<std::string>;

// A real port that notes when it is destroyed.
class RecordingPort : public PosixSerialPort {
public:
    RecordingPort(const std::string& name, Events& events) : PosixSerialPort(name, true), _events(events) {}
    ~RecordingPort() override { _events.push_back("port " + name()); }

private:
    Events& _events;
};

class FakeFactory : public PortFactoryBase {
public:
    FakeFactory(std::vector<std::string> names, Events& events) : _names(std::move(names)), _events(events) {}
    ~FakeFactory() override { _events.push_back("factory"); }

    std::string begin() override
    {
        ++beginCalls;
        _index = 0;
        return current();
    }
    std::string end() override { return ""; }
    std::string next() override
    {
        ++_index;
        return current();
    }
    SerialPort::Ptr create(const std::string& name) override
    {
        _events.push_back("create " + name);
        return std::make_unique<RecordingPort>(name, _events);
    }
    SerialPort::Ptr create(const std::string& name, bool) override { return create(name); }
    // Shows which open result the road passed on for which port.
    std::string explainFailure(const std::string& name, SerialPort::OpenResult result) override
    {
        return "result " + std::to_string(result) + " of " + name;
    }

    int beginCalls = 0;

private:
    std::string current() const { return _index < _names.size() ? _names[_index] : ""; }

    std::vector<std::string> _names;
    size_t _index = 0;
    Events& _events;
};

const std::string kDead = "/dev/pelago-no-such-port";

struct RoadRun {
    int status;
    std::string out, err;
};

RoadRun runRoad(PelagoConfig cfg, std::unique_ptr<PortFactoryBase> factory, const char* file = nullptr)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = deviceRoad(cfg, file, std::move(factory));
    std::string out = ::testing::internal::GetCapturedStdout();
    return {status, out, ::testing::internal::GetCapturedStderr()};
}

class AutoScanTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_sim.start()); }
    std::string pty() { return _sim.ptyPath(); }

    sim::AdapterSim _sim;
    Events _events;
};

} // namespace

TEST_F(AutoScanTest, SkipsADeadPortAndKeepsTheOneThatAnswers)
{
    FakeFactory factory({kDead, pty(), kDead + "2"}, _events);
    Samba samba;
    std::string name = "stale";
    ASSERT_TRUE(autoScan(samba, factory, name));
    EXPECT_EQ(name, pty());
    EXPECT_EQ(factory.beginCalls, 1);
    EXPECT_EQ(_events, (Events{"create " + kDead, "port " + kDead, "create " + pty()}));
    EXPECT_EQ(samba.chipId(), 0x1001030Bu) << "the client must keep the open port";
}

TEST_F(AutoScanTest, NothingAnsweringEndsWithAnEmptyName)
{
    FakeFactory factory({kDead, kDead + "2"}, _events);
    Samba samba;
    std::string name = "stale";
    EXPECT_FALSE(autoScan(samba, factory, name));
    EXPECT_EQ(name, "");
    EXPECT_EQ(factory.beginCalls, 1);

    FakeFactory empty({}, _events);
    EXPECT_FALSE(autoScan(samba, empty, name));
    EXPECT_EQ(name, "");
}

TEST_F(AutoScanTest, TraceNamesEachPortTried)
{
    FakeFactory factory({kDead, pty()}, _events);
    Samba samba;
    std::string name;
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(autoScan(samba, factory, name, true));
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Trying to connect on " + kDead + "\nTrying to connect on " + pty() + "\n");
}

TEST_F(AutoScanTest, RoadReportsTheFoundPortThenReleasesFactoryBeforeClient)
{
    RoadRun r = runRoad(PelagoConfig{}, std::make_unique<FakeFactory>(Events{kDead, pty()}, _events));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Quorvane adapter found on " + pty() + "\n");
    EXPECT_EQ(r.err, "Try to scan USB devices ... ");
    ASSERT_GE(_events.size(), 2u);
    EXPECT_EQ(_events[_events.size() - 2], "factory");
    EXPECT_EQ(_events.back(), "port " + pty());
}

TEST_F(AutoScanTest, RoadWithNothingFoundPointsToTheOptionThenSaysWhyForEachPort)
{
    const struct {
        Events ports;
        std::string why;
    } cases[] = {
        {{kDead, "/"}, "  " + kDead + ": result 1 of " + kDead + "\n  /: result 4 of /\n"},
        {{}, "No serial ports were found\n"},
    };
    for (const auto& c : cases) {
        RoadRun r = runRoad(PelagoConfig{}, std::make_unique<FakeFactory>(c.ports, _events));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Try to scan USB devices ... Auto scan for device failed\n"
                         "Try specifying a serial port with the '-p' option\n" +
                             c.why);
        EXPECT_EQ(_events.back(), "factory");
    }
}

TEST(DeviceRoadRelease, FactoryGoesBeforeClientOnEveryFailure)
{
    for (bool rejectChip : {true, false}) {
        sim::SimOptions options;
        if (rejectChip)
            options.deviceId = 0x1001030C;
        else
            options.faults.noAnswerAt['V'] = 2;  // connecting asks once, -i the second time
        sim::AdapterSim adapter(options);
        ASSERT_TRUE(adapter.start());
        const std::string pty = adapter.ptyPath();
        Events events;
        PelagoConfig cfg;
        cfg.port = true;
        cfg.portArg = pty;
        cfg.version = true;
        RoadRun r = runRoad(cfg, std::make_unique<FakeFactory>(Events{}, events));
        EXPECT_EQ(r.status, 1);
        if (rejectChip) {
            // The client refuses the chip itself and lets go of the port.
            EXPECT_EQ(events, (Events{"create " + pty, "port " + pty, "factory"}));
            EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + pty + "\nresult 0 of " + pty + "\n");
            EXPECT_EQ(lastFailureLine(), "result 0 of " + pty);
        } else {
            EXPECT_EQ(events, (Events{"create " + pty, "factory", "port " + pty}));
            EXPECT_EQ(r.err, "Try to open USB device ... \nSAM-BA operation failed\n");
            EXPECT_EQ(lastFailureLine(), "SAM-BA operation failed");
        }
    }
}

// What a front end shows of the adapter comes from the fields the info
// block read, and those are exactly what the console printed.
TEST(InfoBlock, IdentityFieldsAreWhatTheConsolePrints)
{
    sim::AdapterSim adapter;
    ASSERT_TRUE(adapter.start());
    PelagoConfig cfg;
    cfg.port = true;
    cfg.portArg = adapter.ptyPath();
    cfg.version = true;
    Events events;
    RoadRun r = runRoad(cfg, std::make_unique<FakeFactory>(Events{}, events));
    ASSERT_EQ(r.status, 0) << r.err;
    const AdapterIdentity& id = lastAdapterIdentity();
    EXPECT_EQ(std::make_tuple(id.bootloaderVersion, id.serialNumber, id.pcbVersion, id.firmwareVersion, id.romVersion,
                              id.pre0, id.pre1, id.typeLetter, id.adj),
              std::make_tuple(std::string(sim::SimOptions::kDefaultVersionText), std::string("QE012345"), 0x0102u,
                              0x0105u, 0u, 1u, 0u, uint8_t('E'), 127u));
    std::string lines = "\n";
    for (const std::string& line : adapterIdentityLines(id))
        lines += line + "\n";
    EXPECT_EQ(maskTimes(r.out), lines + "done in T seconds\n");
    EXPECT_EQ(maskTimes(r.out), infoBlock("QE012345", "0x0102", "0x0105", "0x00", 1, 0, "E", 127));
    EXPECT_EQ(lastFailureLine(), "");
}

namespace {

// Points stdin at a file holding `text`; `path` is reused between calls.
void feedStdin(std::string& path, const std::string& text)
{
    if (path.empty()) {
        char name[] = "/tmp/pelago-stdin-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
}

} // namespace

TEST(SettingsClear, AsksTheCountThenWritesTheBuiltInImageBeforeOtherBlocks)
{
    sim::AdapterSim adapter;
    ASSERT_TRUE(adapter.start());
    PelagoConfig cfg;
    cfg.port = true;
    cfg.portArg = adapter.ptyPath();
    cfg.eeprom_clear = true;
    cfg.version = true;
    Events events;
    std::string input;
    char dir[] = "/tmp/pelago-backups-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    setenv("PELAGOXCON_BACKUP_DIR", dir, 1);
    std::vector<uint8_t> areaBefore = flashRange(adapter.flashSnapshot(), 0x1F000, 0x1000);

    feedStdin(input, "\n  3\n");
    RoadRun r = runRoad(cfg, std::make_unique<FakeFactory>(Events{}, events));
    unsetenv("PELAGOXCON_BACKUP_DIR");
    EXPECT_EQ(r.status, 0);
    std::vector<uint8_t> image(g_myData, g_myData + 0x1000);
    image[393] = 5;  // the count plus 2
    std::vector<uint8_t> flash = adapter.flashSnapshot();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin() + 0x1F000));
    char checksum[64];
    std::snprintf(checksum, sizeof checksum, "Checksum of adapter setting = 0x%08X\n",
                  sim::fwCrc32(image.data(), image.size()));
    std::string backup = std::string(dir) + "/QE012345-STAMP.dat";
    std::string expected = "\nHow many times have you reset this adapter's settings? "
                           "Adapter setting backed up to " + backup + "\n"
                           "Clearing adapter setting, please wait ...  Done\n"
                           "Formatting adapter setting , please wait ... " +
                           std::string(64, '.') + " Done\n" + checksum + " Done\n\nBootloader Version: ";
    std::string out = maskTimes(r.out);
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    std::vector<std::filesystem::path> made(std::filesystem::directory_iterator(dir), {});
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(readFile(made[0].string()) == areaBefore);
    std::filesystem::remove_all(dir);

    // Anything but a number stops the run before the erase.
    size_t before = adapter.commandLog().size();
    feedStdin(input, "three\n");
    r = runRoad(cfg, std::make_unique<FakeFactory>(Events{}, events));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nHow many times have you reset this adapter's settings? Wrong input, abort!");
    std::vector<std::string> log = adapter.commandLog();
    EXPECT_EQ(std::count_if(log.begin() + static_cast<long>(before), log.end(), [](const std::string& c) { return c[0] == 'X'; }), 0);
    std::remove(input.c_str());
}

TEST(ChipCheck, AnotherChipFoundAfterConnectingIsRejectedInLowerCaseHex)
{
    auto wire = std::make_shared<Wire>();
    expectMonitorCheck(*wire);
    wire->expect("w00000000,4#", le32(0x20002000));
    wire->expect("wE000ED00,4#", le32(0x410CC601));
    wire->expect("w41002018,4#", le32(0x1001A30C));  // the revision bits are masked off

    class OnePortFactory : public FakeFactory {
    public:
        OnePortFactory(std::shared_ptr<Wire> wire, Events& events) : FakeFactory({}, events), _wire(wire) {}
        SerialPort::Ptr create(const std::string&, bool isUsb) override
        {
            return std::make_unique<ScriptedPort>(_wire, isUsb);
        }

    private:
        std::shared_ptr<Wire> _wire;
    };
    Events events;
    PelagoConfig cfg;
    cfg.port = true;
    cfg.portArg = "COM7";
    cfg.version = true;
    RoadRun r = runRoad(cfg, std::make_unique<OnePortFactory>(wire, events));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to open USB device ... Hardware failuser, ID 1001030c is not supported\n");
    EXPECT_EQ(lastFailureLine(), "Hardware failuser, ID 1001030c is not supported");
    EXPECT_TRUE(wire->done()) << "the info block must not run";
}

TEST(SettingsClear, UnreadableInputAbortsBeforeTouchingTheAdapter)
{
    // A console that cannot be read (here: stdin open for writing only) is
    // neither a number nor a blank line to skip, and must not be asked again.
    std::string path;
    feedStdin(path, "");
    ASSERT_NE(std::freopen(path.c_str(), "w", stdin), nullptr);
    Samba unconnected;  // any exchange would throw
    ::testing::internal::CaptureStdout();
    BlockResult result = settingsClear(unconnected);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, BlockResult::Aborted);
    EXPECT_EQ(out, "\nHow many times have you reset this adapter's settings? Wrong input, abort!");
    std::remove(path.c_str());
}

// Every way back as its line says it, shell-quoted, with and without a signal;
// in a locale that is not UTF-8, a path's bytes as they are unless a control
// among them makes it one to type by hand.
TEST(WayBackLine, NamesWhatRestoresTheAdapter)
{
    const char* locale = std::getenv("LC_ALL");
    const std::string localeBefore = locale ? locale : "";
    setenv("LC_ALL", "C", 1);
    const std::string byHand = "\nType the path in that command by hand: it holds control characters, shown as \\xHH";
    const std::string port = "/dev/pts/3";
    const std::string firmware = "The adapter's firmware is erased or partly written; write it again with: ";
    const std::string settings = "The adapter's settings are erased or partly written; restore them with: ";
    const std::string invalid = "The adapter's settings area holds no valid settings (an interrupted write?); ";
    const struct {
        WayBackKind kind;
        std::string file, says;
    } cases[] = {
        {WayBackKind::FirmwareErased, "fw 2.bin", firmware + "PelagoXcon -p /dev/pts/3 -I -f 'fw 2.bin'"},
        {WayBackKind::FirmwareErased, "", firmware + "PelagoXcon -p /dev/pts/3 -I -f FILE"},
        {WayBackKind::SettingsErased, "/b/QE1-20261207-101010.dat",
         settings + "PelagoXcon -p /dev/pts/3 -u /b/QE1-20261207-101010.dat"},
        {WayBackKind::SettingsErased, "my dir/x.dat", settings + "PelagoXcon -p /dev/pts/3 -u 'my dir/x.dat'"},
        // Backups off and no file of the user's (the clearing action): never "-u ''".
        {WayBackKind::SettingsErased, "", settings + "PelagoXcon -p /dev/pts/3 -u FILE (a setting file saved earlier)"},
        {WayBackKind::NoFirmware, "a b.fw",
         "The adapter has no firmware (an interrupted update?); install a b.fw anyway with: "
         "PelagoXcon -p /dev/pts/3 -I -f 'a b.fw'"},
        {WayBackKind::SettingsInvalid, "/b/x.dat",
         invalid + "restore the newest backup of this adapter with: PelagoXcon -p /dev/pts/3 -u /b/x.dat"},
        {WayBackKind::SettingsBlank, "",
         "The adapter's settings area is blank; restore a setting file saved earlier with: "
         "PelagoXcon -p /dev/pts/3 -u FILE"},
        {WayBackKind::SettingsErased, "/home/Jos\xC3\xA9/b.dat",
         settings + "PelagoXcon -p /dev/pts/3 -u '/home/Jos\xC3\xA9/b.dat'"},
        {WayBackKind::FirmwareErased, "fw\x1B]2;x\x07.bin",
         firmware + "PelagoXcon -p /dev/pts/3 -I -f 'fw\\x1B]2;x\\x07.bin'" + byHand},
        {WayBackKind::SettingsErased, "b\x9B" "2J.dat", settings + "PelagoXcon -p /dev/pts/3 -u 'b\\x9B2J.dat'" + byHand},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(wayBackLine({c.kind, port, c.file}, false), c.says);
        EXPECT_EQ(wayBackLine({c.kind, port, c.file}, true), "Interrupted: t" + c.says.substr(1));
    }
    if (locale)
        setenv("LC_ALL", localeBefore.c_str(), 1);
    else
        unsetenv("LC_ALL");
}

// Interruptions in process, where a signal can strike any command: the
// clearing action (no option reaches it) and the moment between an
// update's checks and its erase. The way back each names must work, and
// the outcome a front end reads must match the status.
TEST(Recovery, InProcessInterruptionsNameAWayBackThatWorks)
{
    char dir[] = "/tmp/pelago-recovery-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string root = dir, state = root + "/flash.bin", firmware = root + "/f.fw";
    writeFile(firmware, makeFirmware(patternBytes(64 * 4, 90)));
    setenv("PELAGOXCON_BACKUP_DIR", (root + "/backups").c_str(), 1);
    std::vector<uint8_t> before;
    {
        sim::AdapterSim fresh;
        ASSERT_TRUE(fresh.start());
        before = fresh.flashSnapshot();
    }
    const std::string erased = "the adapter's settings are erased or partly written; restore them with: PelagoXcon -p ";
    const struct {
        const char* what;
        bool clear;          // the clearing action, else -f
        char letter;         // SIGINT strikes as the nth command with this letter arrives
        unsigned nth;
        unsigned dropAfter;  // else the line drops after this many blocks
        int status;
        ActionOutcome outcome;
        std::string says;    // how stderr's last line starts
    } cases[] = {
        {"clear, SIGINT at block 10", true, 'Y', 20, 0, 130, ActionOutcome::Interrupted, "Interrupted: " + erased},
        {"clear, link lost after block 10", true, 0, 0, 10, 1, ActionOutcome::Failed, "T" + erased.substr(1)},
        {"update, SIGINT in the checks", false, 'w', 8, 0, 130, ActionOutcome::Interrupted,
         "Interrupted: nothing was changed on the adapter"},
        {"update refused", false, 0, 0, 0, 1, ActionOutcome::Refused, ""},
    };
    std::string input;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeFile(state, before);
        sim::SimOptions options;
        options.stateFile = state;
        options.faults.hangupAfterBlocks = c.dropAfter;
        sim::AdapterSim* running = nullptr;
        unsigned letterSeen = 0;
        options.onCommand = [&](unsigned) {
            if (c.letter != 0 && running->commandLog().back()[0] == c.letter && ++letterSeen == c.nth)
                kill(getpid(), SIGINT);
        };
        sim::AdapterSim adapter(options);
        running = &adapter;
        ASSERT_TRUE(adapter.start());
        PelagoConfig cfg;
        cfg.port = true;
        cfg.portArg = adapter.ptyPath();
        cfg.eeprom_clear = c.clear;
        cfg.firmware_write = !c.clear;
        feedStdin(input, "0\n");
        Events events;
        const std::string file = c.says.empty() ? root + "/missing.fw" : firmware;
        RoadRun r = runRoad(cfg, std::make_unique<FakeFactory>(Events{}, events), c.clear ? nullptr : file.c_str());
        adapter.stop();
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(lastActionOutcome(), c.outcome);
        if (c.says.empty()) {
            EXPECT_EQ(r.err, "Try to open USB device ... ") << "a refusal has no way back to name";
            continue;
        }
        size_t last = r.err.rfind('\n', r.err.size() - 2);
        ASSERT_NE(last, std::string::npos) << r.err;
        std::string line = r.err.substr(last + 1);
        EXPECT_EQ(line.substr(0, c.says.size()), c.says) << r.err;
        if (!c.clear) {
            EXPECT_EQ(readFile(state), before) << "nothing may be erased";
            continue;
        }
        std::string backup = line.substr(line.rfind(" -u ") + 4);
        backup.pop_back();
        options.onCommand = nullptr;
        options.faults = {};
        sim::AdapterSim again(options);
        ASSERT_TRUE(again.start());
        cfg.portArg = again.ptyPath();
        cfg.eeprom_clear = false;
        cfg.eeprom_write = true;
        r = runRoad(cfg, std::make_unique<FakeFactory>(Events{}, events), backup.c_str());
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(lastActionOutcome(), ActionOutcome::Completed);
        EXPECT_EQ(again.flashSnapshot(), before);
    }
    unsetenv("PELAGOXCON_BACKUP_DIR");
    std::remove(input.c_str());
    std::filesystem::remove_all(root);
}

namespace {

std::string g_hookSerial;

bool _hookReadsSerial(Samba& samba, std::string&)
{
    g_hookSerial = adapterSerialNumber(samba);
    return true;
}

bool _hookRefuses(Samba&, std::string&)
{
    return false;
}

} // namespace

// The outcome a front end reads instead of the printed text, and the hook
// it may run on the connection before the blocks.
TEST(ActionOutcome, TellsARefusalFromAFailureAndTheHookRunsOnTheConnection)
{
    const struct {
        ConnectedHook hook;
        bool firmware;  // -f of a missing file, else -i
        int status;
        ActionOutcome outcome;
    } cases[] = {
        {nullptr, false, 0, ActionOutcome::Completed},
        {_hookReadsSerial, false, 0, ActionOutcome::Completed},
        {_hookRefuses, false, 1, ActionOutcome::Failed},
        {nullptr, true, 1, ActionOutcome::Refused},
    };
    for (const auto& c : cases) {
        sim::AdapterSim adapter;
        ASSERT_TRUE(adapter.start());
        Events events;
        PelagoConfig cfg;
        cfg.port = true;
        cfg.portArg = adapter.ptyPath();
        (c.firmware ? cfg.firmware_write : cfg.version) = true;
        g_hookSerial.clear();
        setConnectedHook(c.hook);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int status = deviceRoad(cfg, c.firmware ? "/nonexistent/app.fw" : nullptr,
                                std::make_unique<FakeFactory>(Events{}, events));
        std::string out = ::testing::internal::GetCapturedStdout();
        ::testing::internal::GetCapturedStderr();
        setConnectedHook(nullptr);
        EXPECT_EQ(status, c.status) << out;
        EXPECT_EQ(lastActionOutcome(), c.outcome) << out;
        EXPECT_EQ(out.find("Bootloader Version") != std::string::npos, !c.firmware && c.status == 0);
        EXPECT_EQ(g_hookSerial, c.hook == _hookReadsSerial ? "QE012345" : "");
    }
}
