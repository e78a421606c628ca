#include "Subprocess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

extern char** environ;

namespace {

void makePipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
}

// A raw pseudo-terminal: fds[0] the master (read by the test), fds[1] the
// slave (the child's stdout).
void makeTerminal(int fds[2])
{
    fds[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fds[0] < 0 || grantpt(fds[0]) != 0 || unlockpt(fds[0]) != 0)
        throw std::runtime_error("no pseudo-terminal");
    fds[1] = open(ptsname(fds[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw;
    if (fds[1] < 0 || tcgetattr(fds[1], &raw) != 0)
        throw std::runtime_error("cannot open the pseudo-terminal's slave");
    cfmakeraw(&raw);
    tcsetattr(fds[1], TCSANOW, &raw);
}

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::string variableName(const std::string& setting)
{
    return setting.substr(0, setting.find('='));
}

// This process's environment with `extra` laid over it; built before the
// fork, since the child may only exec.
std::vector<std::string> mergedEnvironment(const std::vector<std::string>& extra)
{
    std::vector<std::string> merged;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string setting = *e;
        bool overridden = false;
        for (const std::string& x : extra)
            overridden = overridden || variableName(x) == variableName(setting);
        if (!overridden)
            merged.push_back(setting);
    }
    merged.insert(merged.end(), extra.begin(), extra.end());
    return merged;
}

} // namespace

Subprocess::Subprocess(std::string path, std::vector<std::string> argv, std::vector<std::string> env)
    : _path(std::move(path)), _argv(std::move(argv)), _env(std::move(env))
{
}

Subprocess::~Subprocess()
{
    if (_pid > 0) {
        killGroup();
        waitpid(_pid, nullptr, 0);
    }
    closeFd(_in);
    closeFd(_out);
    closeFd(_err);
}

void Subprocess::start(const std::string& input)
{
    // A child that ends without reading all its input must not kill the
    // test program with SIGPIPE; the write then fails and stdin is closed.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    makePipe(in);
    if (_stdoutOnTerminal) {
        makeTerminal(out);
        if (_columns > 0) {
            winsize size{};
            size.ws_col = _columns;
            ioctl(out[0], TIOCSWINSZ, &size);
        }
    } else
        makePipe(out);
    makePipe(err);

    std::vector<char*> args;
    for (auto& a : _argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> environment = mergedEnvironment(_env);
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    _started = std::chrono::steady_clock::now();
    _pid = fork();
    if (_pid < 0)
        throw std::runtime_error("fork failed");
    if (_pid == 0) {
        setpgid(0, 0);
        signal(SIGPIPE, SIG_DFL);  // the child gets the usual disposition back
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        execve(_path.c_str(), args.data(), envp.data());
        _exit(127);
    }
    setpgid(_pid, _pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    _in = in[1];
    _out = out[0];
    _err = err[0];
    fcntl(_in, F_SETFL, O_NONBLOCK);
    _input = input;
    _written = 0;
    if (_input.empty())
        closeFd(_in);
}

void Subprocess::setTerminalColumns(unsigned short columns)
{
    _columns = columns;
    if (_stdoutOnTerminal && _out >= 0) {
        winsize size{};
        size.ws_col = columns;
        ioctl(_out, TIOCSWINSZ, &size);
    }
}

void Subprocess::onOutput(std::string marker, std::function<void()> action)
{
    _triggers.push_back({std::move(marker), std::move(action)});
}

void Subprocess::sendSignal(int signal)
{
    if (_pid > 0)
        kill(_pid, signal);
}

void Subprocess::runTriggers(const ProcessResult& sofar)
{
    for (Trigger& t : _triggers) {
        if (!t.fired && (sofar.out.find(t.marker) != std::string::npos ||
                         sofar.err.find(t.marker) != std::string::npos)) {
            t.fired = true;
            t.action();
        }
    }
}

void Subprocess::killGroup()
{
    kill(-_pid, SIGKILL);
    kill(_pid, SIGKILL);
}

ProcessResult Subprocess::finish(std::chrono::milliseconds timeout)
{
    ProcessResult result;
    const auto deadline = _started + timeout;
    char buffer[65536];

    while (_out >= 0 || _err >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            killGroup();
            break;
        }
        pollfd fds[3] = {{_out, POLLIN, 0}, {_err, POLLIN, 0}, {_in, POLLOUT, 0}};
        int n = poll(fds, 3, static_cast<int>(left.count()));
        if (n < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0)
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(got));
            else if (got == 0 || errno != EINTR)
                closeFd(i == 0 ? _out : _err);
        }
        runTriggers(result);
        if (_in >= 0 && fds[2].revents != 0) {
            ssize_t put = write(_in, _input.data() + _written, _input.size() - _written);
            if (put > 0)
                _written += static_cast<size_t>(put);
            if (put < 0 || _written == _input.size())
                closeFd(_in);
        }
    }
    closeFd(_in);
    closeFd(_out);
    closeFd(_err);

    int status = 0;
    if (!result.timedOut) {
        // Output closed; the exit itself may still lag a moment.
        while (waitpid(_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                result.timedOut = true;
                killGroup();
                break;
            }
            poll(nullptr, 0, 5);
        }
    }
    if (result.timedOut)
        waitpid(_pid, &status, 0);
    _pid = -1;

    if (WIFEXITED(status))
        result.exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - _started);
    return result;
}

ProcessResult runProcess(const std::string& path, const std::vector<std::string>& args,
                         const std::string& input, std::chrono::milliseconds timeout,
                         const std::string& argv0, const std::vector<std::string>& env)
{
    std::vector<std::string> argv{argv0.empty() ? path : argv0};
    argv.insert(argv.end(), args.begin(), args.end());
    Subprocess child(path, argv, env);
    child.start(input);
    return child.finish(timeout);
}

ChildOutcome runInChild(long uid, unsigned seconds, const std::function<bool(std::string&)>& work)
{
    ChildOutcome outcome;
    int fds[2];
    if (pipe(fds) != 0)
        return outcome;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(seconds);
        if (uid >= 0 && (setgroups(0, nullptr) != 0 || setresgid(gid_t(uid), gid_t(uid), gid_t(uid)) != 0 ||
                         setresuid(uid_t(uid), uid_t(uid), uid_t(uid)) != 0))
            _exit(2);
        std::string text;
        bool ok = work(text);
        bool told = write(fds[1], text.data(), text.size()) == ssize_t(text.size());
        _exit(ok && told ? 0 : 1);
    }
    close(fds[1]);
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        outcome.text.append(buffer, size_t(n));
    close(fds[0]);
    waitpid(pid, &outcome.status, 0);
    outcome.ok = WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0;
    return outcome;
}
