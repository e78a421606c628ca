// The port search and the release order of the device road, run in-process
// with a fake port factory in front of real ports.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "AdapterSim.h"
#include "DeviceRoad.h"
#include "PosixSerialPort.h"

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

RoadRun runRoad(PelagoConfig cfg, std::unique_ptr<PortFactoryBase> factory)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    int status = deviceRoad(cfg, nullptr, std::move(factory));
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

TEST_F(AutoScanTest, RoadWithNothingFoundPointsToTheOption)
{
    RoadRun r = runRoad(PelagoConfig{}, std::make_unique<FakeFactory>(Events{kDead}, _events));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Try to scan USB devices ... Auto scan for device failed\n"
                     "Try specifying a serial port with the '-p' option\n");
    EXPECT_EQ(_events.back(), "factory");
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
            EXPECT_EQ(r.err, "Try to open USB device ... No device found on " + pty + "\n");
        } else {
            EXPECT_EQ(events, (Events{"create " + pty, "factory", "port " + pty}));
            EXPECT_EQ(r.err, "Try to open USB device ... \nSAM-BA operation failed\n");
        }
    }
}
