// How an end-to-end test starts the tool: the native Linux program, or the
// Windows program under wine. The same expectations hold for both; only the
// program name and the way a pseudo-terminal is named as a port differ.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Subprocess.h"

class Launcher {
public:
    virtual ~Launcher() = default;
    // The name the tool prints for itself ("PelagoXcon", "PelagoXcon.exe").
    virtual std::string programName() const = 0;
    // The -p argument that reaches the pseudo-terminal at `ptyPath`; also the
    // name the tool prints in its port messages.
    virtual std::string portName(const std::string& ptyPath) = 0;
    // Runs the tool with `args`, feeding `input`, for at most `timeout`.
    virtual ProcessResult run(const std::vector<std::string>& args, const std::string& input,
                              std::chrono::milliseconds timeout) = 0;
    // NAME=VALUE settings every later run gets on top of this process's
    // environment.
    void setEnvironment(std::vector<std::string> settings) { _environment = std::move(settings); }

protected:
    std::vector<std::string> _environment;
};
