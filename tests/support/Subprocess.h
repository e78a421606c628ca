// Runs a program as a child process with its own stdin, stdout and stderr,
// bounded in time; the child and its process group are killed on timeout
// or when the handle goes away.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
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
    // `env` holds NAME=VALUE settings on top of (or replacing) this
    // process's environment.
    Subprocess(std::string path, std::vector<std::string> argv, std::vector<std::string> env = {});
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Before start(): the child's stdout becomes a pseudo-terminal (raw, so
    // its bytes arrive unchanged) instead of a pipe; stderr stays apart.
    void stdoutOnTerminal() { _stdoutOnTerminal = true; }
    // The width the terminal on stdout reports (before or after start());
    // unset, it reports none.
    void setTerminalColumns(unsigned short columns);
    // Before start(): `action` runs once, as soon as stdout or stderr has
    // shown `marker`; so a test acts at a known point of the run without
    // sleeping.
    void onOutput(std::string marker, std::function<void()> action);
    // Sends `signal` to the running child.
    void sendSignal(int signal);
    // Starts the child; `input` is written to its stdin, which is then closed.
    void start(const std::string& input = "");
    // Waits until the child has exited (killing it after `timeout`) and has
    // closed its output; returns everything it wrote.
    ProcessResult finish(std::chrono::milliseconds timeout);

private:
    void killGroup();
    void runTriggers(const ProcessResult& sofar);

    struct Trigger {
        std::string marker;
        std::function<void()> action;
        bool fired = false;
    };
    std::vector<Trigger> _triggers;
    unsigned short _columns = 0;

    std::string _path;
    std::vector<std::string> _argv;
    std::vector<std::string> _env;
    pid_t _pid = -1;
    int _in = -1, _out = -1, _err = -1;
    bool _stdoutOnTerminal = false;
    std::string _input;
    size_t _written = 0;
    std::chrono::steady_clock::time_point _started;
};

// Runs `path` with arguments `args` (argv[0] = path unless `argv0` is
// given) and the extra environment `env`, feeding `input`, for at most
// `timeout`.
ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::string& input = "",
                         std::chrono::milliseconds timeout = std::chrono::seconds(20),
                         const std::string& argv0 = "", const std::vector<std::string>& env = {});

// What runInChild's child said and how it ended.
struct ChildOutcome {
    bool ok = false;   // it ran `work` and `work` returned true
    int status = 0;    // as waitpid gives it
    std::string text;  // what `work` put in its string
};

// Runs `work` in a forked child, as user and group `uid` without
// supplementary groups (-1: as this process), ended by SIGALRM after
// `seconds`: what it does to its process (limits, a signal) stays there.
ChildOutcome runInChild(long uid, unsigned seconds, const std::function<bool(std::string&)>& work);
