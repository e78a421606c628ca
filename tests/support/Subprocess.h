// Runs a program as a child process with its own stdin, stdout and stderr,
// bounded in time; the child and its process group are killed on timeout
// or when the handle goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    int exitStatus = -1;  // the child's exit status; -1 when killed by a signal
    int signal = 0;       // the signal that ended it, or 0
    bool timedOut = false;
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

class Subprocess {
public:
    // argv[0] is what the child sees as its name; `path` is what is executed.
    Subprocess(std::string path, std::vector<std::string> argv);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Before start(): the child's stdout becomes a pseudo-terminal (raw, so
    // its bytes arrive unchanged) instead of a pipe; stderr stays apart.
    void stdoutOnTerminal() { _stdoutOnTerminal = true; }
    // Starts the child; `input` is written to its stdin, which is then closed.
    void start(const std::string& input = "");
    // Waits until the child has exited (killing it after `timeout`) and has
    // closed its output; returns everything it wrote.
    ProcessResult finish(std::chrono::milliseconds timeout);

private:
    void killGroup();

    std::string _path;
    std::vector<std::string> _argv;
    pid_t _pid = -1;
    int _in = -1, _out = -1, _err = -1;
    bool _stdoutOnTerminal = false;
    std::string _input;
    size_t _written = 0;
    std::chrono::steady_clock::time_point _started;
};

// Runs `path` with arguments `args` (argv[0] = path unless `argv0` is
// given), feeding `input`, for at most `timeout`.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::string& input = "",
                         std::chrono::milliseconds timeout = std::chrono::seconds(20),
                         const std::string& argv0 = "");
