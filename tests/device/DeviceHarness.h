// What every end-to-end device test needs: a launcher for the tool, a
// virtual adapter on a pseudo-terminal in this process, a scratch directory,
// and helpers for the tool's exact output.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "AdapterSim.h"
#include "Launcher.h"
#include "Mkfw.h"

// One way of launching the tool, as the parameter of the shared suites.
struct LauncherParam {
    std::string name;
    std::function<std::unique_ptr<Launcher>()> make;
};
inline void PrintTo(const LauncherParam& p, std::ostream* os)
{
    *os << p.name;
}
inline std::string launcherParamName(const ::testing::TestParamInfo<LauncherParam>& info)
{
    return info.param.name;
}

class DeviceHarness {
public:
    explicit DeviceHarness(std::unique_ptr<Launcher> launcher);
    ~DeviceHarness();

    Launcher& launcher() { return *_launcher; }
    // Starts the virtual adapter; fails the test when it cannot.
    sim::AdapterSim& startSim(sim::SimOptions options = {});
    sim::AdapterSim& adapter() { return *_sim; }
    // The -p argument naming the adapter's port.
    std::string port();
    // Runs the tool with `args` behind "-p <port>".
    ProcessResult runOnPort(std::vector<std::string> args,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60),
                            const std::string& input = "");
    ProcessResult run(const std::vector<std::string>& args,
                      std::chrono::milliseconds timeout = std::chrono::seconds(60),
                      const std::string& input = "");
    // A path inside the test's scratch directory.
    std::string path(const std::string& name) const;
    // Where the tool's settings backups go: a directory two levels below
    // the scratch directory, made by the tool itself.
    std::string backupDir() const { return path("state/backups"); }
    // The files in backupDir(), sorted by name.
    std::vector<std::string> backups() const;
    // Commands of the adapter's log that start with `prefix`.
    std::vector<std::string> commands(const std::string& prefix);
    // Every run so far: its arguments, exit status, stdout and stderr, for
    // the report of a test that failed.
    const std::string& transcript() const { return _transcript; }

private:
    std::unique_ptr<Launcher> _launcher;
    std::unique_ptr<sim::AdapterSim> _sim;
    std::string _dir;
    std::string _transcript;
};

// Replaces the seconds of every "done in %5.3f seconds" with "T", and the
// time stamp of every backup name (-YYYYMMDD-HHMMSSZ) with "-STAMP".
std::string maskTimes(const std::string& text);
// The 4096-byte settings area (or any range) of a flash snapshot.
std::vector<uint8_t> flashRange(const std::vector<uint8_t>& flash, uint32_t addr, uint32_t size);
// Deterministic bytes for images and settings files.
std::vector<uint8_t> patternBytes(size_t size, uint32_t seed);
// A 4096-byte settings file the tool accepts (a formatted emulated EEPROM,
// the virtual adapter's own layout), its pages' data taken from `payload`
// in turn, or from patternBytes(seed).
std::vector<uint8_t> settingsFileBytes(const std::vector<uint8_t>& payload);
std::vector<uint8_t> settingsFileBytes(uint32_t seed);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// The file's bytes; empty when it does not exist.
std::vector<uint8_t> readFile(const std::string& path);
bool fileExists(const std::string& path);
// A firmware file made with the virtual adapter's mkfw; fails the test on error.
std::vector<uint8_t> makeFirmware(const std::vector<uint8_t>& plain, const sim::MkfwOptions& options = {});

// The fixture of the shared suites: the launcher is the parameter.
class DeviceTest : public ::testing::TestWithParam<LauncherParam> {
protected:
    void SetUp() override { _harness = std::make_unique<DeviceHarness>(GetParam().make()); }
    // A failed assertion on a run's status or output is read with what the
    // tool printed, on both streams.
    void TearDown() override
    {
        if (HasFailure())
            std::cout << "The tool's runs in this test:\n" << _harness->transcript();
        _harness.reset();
    }
    DeviceHarness& h() { return *_harness; }
    std::string program() { return _harness->launcher().programName(); }

private:
    std::unique_ptr<DeviceHarness> _harness;
};

// The words a POSIX shell makes of `command`, as when a user pastes a
// line the tool printed.
std::vector<std::string> shellWords(const std::string& command);
