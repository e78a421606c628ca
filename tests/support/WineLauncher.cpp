#include "WineLauncher.h"

#include "AdapterSim.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kReadyMarker = ".pelago-prefix-ready";
constexpr int kWaitPollMs = 10;

// No display: wine must not try to open windows or dialogues. Without
// mscoree and mshtml, wineboot does not go looking for Mono and Gecko.
const std::vector<std::string> kUnsetVariables{"DISPLAY", "WAYLAND_DISPLAY"};
constexpr const char* kQuiet = "WINEDEBUG=-all";
constexpr const char* kNoMonoNoGecko = "WINEDLLOVERRIDES=mscoree,mshtml=";
// The server plays the Windows kernel, which other programs do not hold
// up: where the user may, it runs raised as the virtual adapter does, so
// that a busy machine slows the program under test and not its kernel.
const std::string kServerNice = std::to_string(sim::kHardwareNice);

} // namespace

FileLock::FileLock(const std::string& path) : _fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
{
    if (_fd >= 0 && flock(_fd, LOCK_EX) != 0) {
        ::close(_fd);
        _fd = -1;
    }
}

FileLock::~FileLock()
{
    if (_fd >= 0)
        ::close(_fd);
}

std::string windowsToUnixLineEnds(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    return out;
}

ProcessResult toUnixLineEnds(ProcessResult result)
{
    result.out = windowsToUnixLineEnds(result.out);
    result.err = windowsToUnixLineEnds(result.err);
    return result;
}

WinePrefix::WinePrefix(WineSetup setup) : _setup(std::move(setup)) {}

std::vector<std::string> WinePrefix::_wineCommand(const std::vector<std::string>& tail,
                                                  const std::vector<std::string>& environment) const
{
    std::vector<std::string> args;
    for (const auto& name : kUnsetVariables) {
        args.push_back("-u");
        args.push_back(name);
    }
    args.push_back("WINEPREFIX=" + _setup.prefixDir);
    args.push_back(kQuiet);
    args.push_back(kNoMonoNoGecko);
    args.insert(args.end(), environment.begin(), environment.end());
    args.insert(args.end(), tail.begin(), tail.end());
    return args;
}

bool WinePrefix::prepare(std::string& error)
{
    FileLock lock(_setup.prefixDir + ".lock");
    if (!lock.held()) {
        error = "cannot lock " + _setup.prefixDir + ".lock: " + std::strerror(errno);
        return false;
    }
    if (!fs::exists(fs::path(_setup.prefixDir) / kReadyMarker))
        return _boot(error);
    return _startServer(error) && _startServices(error);
}

bool WinePrefix::_boot(std::string& error)
{
    // A prefix without the marker was cut short; wine would not repair it.
    std::error_code ec;
    fs::remove_all(_setup.prefixDir, ec);
    fs::create_directories(_setup.prefixDir, ec);
    if (!_startServer(error))
        return false;
    int status = _runQuietly({_setup.wine, "wineboot.exe", "-i"}, kBootTimeout);
    if (status != 0 || !fs::is_directory(dosDevicesDir())) {
        error = "wineboot -i failed with status " + std::to_string(status);
        return false;
    }
    std::ofstream(fs::path(_setup.prefixDir) / kReadyMarker) << "ok\n";
    return true;
}

bool WinePrefix::_startServer(std::string& error)
{
    // The server puts itself in the background; when one already runs for
    // the prefix, this one gives up, which is just as good.
    if (_runQuietly({"nice", "-n", kServerNice, _setup.wineserver, "-p" + std::to_string(kServerLingerSeconds)},
                    kBootTimeout) < 0) {
        error = "cannot start the wineserver";
        return false;
    }
    return true;
}

bool WinePrefix::_startServices(std::string& error)
{
    // The first program of a server session starts wine's own services,
    // which inherit its standard handles and live as long as the server: a
    // test's output pipes would stay open until the server went away.
    if (_runQuietly({_setup.wine, "cmd.exe", "/c", "exit"}, kBootTimeout) != 0) {
        error = "wine cannot run a program in " + _setup.prefixDir;
        return false;
    }
    return true;
}

int WinePrefix::_runQuietly(const std::vector<std::string>& command, std::chrono::milliseconds timeout) const
{
    std::vector<std::string> args{_setup.envProgram};
    auto tail = _wineCommand(command);
    args.insert(args.end(), tail.begin(), tail.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
        posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        poll(nullptr, 0, kWaitPollMs);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> WinePrefix::commandLine(const std::string& exePath, const std::vector<std::string>& args,
                                                const std::vector<std::string>& environment) const
{
    std::vector<std::string> argv{_setup.envProgram};
    std::vector<std::string> tail{_setup.wine, exePath};
    tail.insert(tail.end(), args.begin(), args.end());
    for (auto& a : _wineCommand(tail, environment))
        argv.push_back(std::move(a));
    return argv;
}

std::unique_ptr<Subprocess> WinePrefix::startWindowsProgram(const std::string& exePath,
                                                            const std::vector<std::string>& args,
                                                            const std::string& input,
                                                            const std::vector<std::string>& environment) const
{
    auto child = std::make_unique<Subprocess>(_setup.envProgram, commandLine(exePath, args, environment));
    child->start(input);
    return child;
}

ProcessResult WinePrefix::runWindowsProgram(const std::string& exePath, const std::vector<std::string>& args,
                                            const std::string& input, std::chrono::milliseconds timeout,
                                            const std::vector<std::string>& environment) const
{
    return toUnixLineEnds(startWindowsProgram(exePath, args, input, environment)->finish(timeout));
}

WineComPort::WineComPort(const WinePrefix& prefix, const std::string& ptyPath)
{
    for (int n = kFirstNumber; n <= kLastNumber; ++n) {
        std::string lockPath = prefix.setup().prefixDir + ".com" + std::to_string(n) + ".lock";
        int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        // The number is ours; a link left by a killed test is stale.
        std::string link = prefix.dosDevicesDir() + "/com" + std::to_string(n);
        ::unlink(link.c_str());
        if (::symlink(ptyPath.c_str(), link.c_str()) != 0) {
            ::close(fd);
            return;
        }
        _lockFd = fd;
        _number = n;
        _linkPath = link;
        return;
    }
}

WineComPort::~WineComPort()
{
    if (!_linkPath.empty())
        ::unlink(_linkPath.c_str());
    if (_lockFd >= 0)
        ::close(_lockFd);
}

std::string WineComPort::name() const
{
    return _number == 0 ? std::string() : "COM" + std::to_string(_number);
}

WineLauncher::WineLauncher(const WinePrefix& prefix, std::string exePath)
    : _prefix(prefix), _exePath(std::move(exePath))
{
}

std::string WineLauncher::programName() const
{
    return kProgramName;
}

std::string WineLauncher::portName(const std::string& ptyPath)
{
    auto& port = _ports[ptyPath];
    if (!port)
        port = std::make_unique<WineComPort>(_prefix, ptyPath);
    return port->name();
}

ProcessResult WineLauncher::run(const std::vector<std::string>& args, const std::string& input,
                                std::chrono::milliseconds timeout)
{
    return _prefix.runWindowsProgram(_exePath, args, input, timeout, _environment);
}
