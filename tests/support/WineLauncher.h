// Runs the Windows build of the tool under wine, headless, in a wine prefix
// of the test build's own, and names pseudo-terminals as COM ports there.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Launcher.h"

// Where wine is installed and the prefix every run of one build shares.
struct WineSetup {
    std::string envProgram;  // absolute path of env(1): runs wine with its own environment
    std::string wine;        // absolute path of the wine loader
    std::string wineserver;  // absolute path of the wineserver
    std::string prefixDir;   // the prefix; created on first use
};

// The prefix is created once (wineboot takes seconds) and reused by later
// runs and by test programs running side by side, which serialize on a lock
// file next to the prefix. A wineserver is kept alive between runs so that
// each run starts in well under a second.
class WinePrefix {
public:
    // How long the wineserver outlives its last client, in seconds: long
    // enough to bridge the gaps between test processes, short enough that
    // it and wine's helper processes go away soon after the suite.
    static constexpr int kServerLingerSeconds = 15;
    static constexpr std::chrono::seconds kBootTimeout{180};

    explicit WinePrefix(WineSetup setup);

    // Creates the prefix when it is missing or half made, then makes sure a
    // lingering wineserver runs with wine's services started. False with
    // `error` set on failure.
    bool prepare(std::string& error);

    // The command line (argv[0] is env(1)'s path) that runs a Windows
    // program of the prefix with `args`, its environment extended by the
    // NAME=VALUE settings of `env`.
    std::vector<std::string> commandLine(const std::string& exePath, const std::vector<std::string>& args,
                                         const std::vector<std::string>& env = {}) const;
    // Starts a Windows program in the prefix with `args`; finish() it and
    // pass the result through toUnixLineEnds().
    std::unique_ptr<Subprocess> startWindowsProgram(const std::string& exePath,
                                                    const std::vector<std::string>& args,
                                                    const std::string& input = "",
                                                    const std::vector<std::string>& env = {}) const;
    // Runs a Windows program to its end; stdout and stderr come back with
    // Windows line ends turned into "\n".
    ProcessResult runWindowsProgram(const std::string& exePath, const std::vector<std::string>& args,
                                    const std::string& input, std::chrono::milliseconds timeout,
                                    const std::vector<std::string>& env = {}) const;

    const WineSetup& setup() const { return _setup; }
    std::string dosDevicesDir() const { return _setup.prefixDir + "/dosdevices"; }

private:
    std::vector<std::string> _wineCommand(const std::vector<std::string>& tail) const;
    bool _boot(std::string& error);
    bool _startServer(std::string& error);
    bool _startServices(std::string& error);
    // Runs a command with no input and its output thrown away; its exit
    // status, or -1 when it could not start, was killed or overran `timeout`.
    int _runQuietly(const std::vector<std::string>& command, std::chrono::milliseconds timeout) const;

    WineSetup _setup;
};

// Turns the CR LF line ends of a Windows console program into LF; lone CRs
// stay, so a program that writes them is still seen to.
std::string windowsToUnixLineEnds(const std::string& text);
// The same for both output streams of a finished run.
ProcessResult toUnixLineEnds(ProcessResult result);

// A COM port of the prefix that leads to a pseudo-terminal. The number is
// claimed with a lock held for the object's life, so launchers in parallel
// test processes never share one; the link goes when the object does.
class WineComPort {
public:
    static constexpr int kFirstNumber = 40;  // wine maps real ttyS* to the low numbers
    static constexpr int kLastNumber = 250;

    WineComPort(const WinePrefix& prefix, const std::string& ptyPath);
    ~WineComPort();
    WineComPort(const WineComPort&) = delete;
    WineComPort& operator=(const WineComPort&) = delete;

    // "COM<n>", or empty when no number or link could be had.
    std::string name() const;

private:
    std::string _linkPath;
    int _lockFd = -1;
    int _number = 0;
};

class WineLauncher : public Launcher {
public:
    static constexpr const char* kProgramName = "PelagoXcon.exe";

    WineLauncher(const WinePrefix& prefix, std::string exePath);

    std::string programName() const override;
    // "COM<n>" for `ptyPath`; the same name when asked again for the same pty.
    std::string portName(const std::string& ptyPath) override;
    ProcessResult run(const std::vector<std::string>& args, const std::string& input,
                      std::chrono::milliseconds timeout) override;

private:
    const WinePrefix& _prefix;
    std::string _exePath;
    std::map<std::string, std::unique_ptr<WineComPort>> _ports;
};
