// Runs the Linux build of the tool; a pseudo-terminal is named by its path.
#pragma once

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
        return runProcess(_exePath, args, input, timeout, programName(), _environment);
    }

private:
    std::string _exePath;
};
