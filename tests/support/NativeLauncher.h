// Runs the Linux build of the tool; a pseudo-terminal is named by its path.
#pragma once

#include <sys/types.h>

#include <string>

#include "Launcher.h"

class NativeLauncher : public Launcher {
public:
    explicit NativeLauncher(std::string exePath) : _exePath(std::move(exePath)) {}

    std::string programName() const override { return "PelagoXcon"; }
    std::string portName(const std::string& ptyPath) override { return ptyPath; }
    ProcessResult run(const std::vector<std::string>& args, const std::string& input,
                      std::chrono::milliseconds timeout) override
    {
        if (_user < 0)
            return runProcess(_exePath, args, input, timeout, programName(), _environment);
        // An ordinary user, without the groups of the one running the tests.
        std::vector<std::string> all = {"--reuid=" + std::to_string(_user), "--regid=" + std::to_string(_user),
                                        "--clear-groups", _exePath};
        all.insert(all.end(), args.begin(), args.end());
        return runProcess(kSetpriv, all, input, timeout, "", _environment);
    }
    // Later runs as user and group `id` (needs root and setpriv); -1: as this process.
    void runAs(long id) { _user = id; }

    static constexpr const char* kSetpriv = "/usr/bin/setpriv";

private:
    std::string _exePath;
    long _user = -1;
};
