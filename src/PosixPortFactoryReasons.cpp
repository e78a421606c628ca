// Why a port on Linux or macOS could not be reached: who may open the
// device, and which program holds it.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "PortReasons.h"
#include "PosixPortFactory.h"
#include "PosixSerialPort.h"

namespace fs = std::filesystem;

namespace {

// The daemon that probes every new serial port for a modem and holds it
// meanwhile; the usual holder of a freshly plugged adapter.
constexpr const char* kModemManager = "ModemManager";
#ifdef __APPLE__
constexpr const char* kOtherAccessRoute = "";
#else
constexpr const char* kOtherAccessRoute = ", or give your user the port with a udev rule";
#endif
// The group a serial port is usually given to, for a port whose group can't use it.
constexpr const char* kUsualSerialGroup = "dialout";
// The group of login terminals and ptys; joining it would let a user write
// to everyone's terminal, and such a port is no adapter anyway.
constexpr const char* kTerminalGroup = "tty";

bool isNumber(const std::string& s)
{
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

std::string groupName(gid_t gid)
{
    const group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

std::string userName(uid_t uid)
{
    const passwd* p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}

std::string joinAdvice(const std::string& group)
{
#ifdef __APPLE__
    const std::string command = "sudo dseditgroup -o edit -a $USER -t user " + group;
#else
    const std::string command = "sudo usermod -aG " + group + " $USER";
#endif
    return "join it with '" + command + "', then log in again";
}

// Whether two stat results are the same port: for a device, the same
// device number on the same filesystem (a pty of another devpts instance
// shares the number but not the filesystem); otherwise the same file.
bool samePort(const struct stat& a, const struct stat& b)
{
    if (S_ISCHR(a.st_mode) || S_ISCHR(b.st_mode))
        return S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode) && a.st_rdev == b.st_rdev && a.st_dev == b.st_dev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string processName(const fs::path& procDir)
{
    std::string comm;
    std::getline(std::ifstream(procDir / "comm"), comm);
    return comm;
}

// Asks `found(dir)` of every process under `procRoot` but this one,
// until it returns true; that process's "name (pid N)", or "".
template <typename Match>
std::string findProcess(const std::string& procRoot, Match found)
{
    const std::string self = std::to_string(getpid());
    std::error_code ec;
    fs::directory_iterator procs(procRoot, ec), last;
    for (; !ec && procs != last; procs.increment(ec)) {
        const std::string pid = procs->path().filename().string();
        if (!isNumber(pid) || pid == self || !found(procs->path()))
            continue;
        std::string comm = processName(procs->path());
        return (comm.empty() ? "another program" : comm) + " (pid " + pid + ")";
    }
    return std::string();
}

// By what each descriptor refers to, never by the text of its link: that
// text is only a path, which names another file in another mount namespace.
bool holdsOpen(const fs::path& procDir, const struct stat& port)
{
    std::error_code ec;
    fs::directory_iterator fds(procDir / "fd", ec), last;
    for (; !ec && fds != last; fds.increment(ec)) {
        struct stat held{};
        if (stat(fds->path().c_str(), &held) == 0 && samePort(held, port))
            return true;
    }
    return false;
}

std::string modemManagerAdvice(const std::string& who)
{
    return "The port is in use by " + who +
           ", which probes new ports for modems; make it leave the port alone with "
           "'sudo systemctl stop ModemManager', or for good with a udev rule setting "
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for the adapter";
}

bool startsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

} // namespace

std::string PosixPortFactory::findHolder(const std::string& procRoot, const std::string& devicePath)
{
    struct stat port{};
    if (stat(devicePath.c_str(), &port) != 0)
        return std::string();
    return findProcess(procRoot, [&](const fs::path& dir) { return holdsOpen(dir, port); });
}

std::string PosixPortFactory::_deniedReason(const std::string& name) const
{
    struct stat st{};
    if (stat(PosixSerialPort::devicePath(name).c_str(), &st) != 0)
        return "Permission denied: your user may not open the port; join the group that owns it" +
               std::string(kOtherAccessRoute);
    const std::string group = groupName(st.st_gid);
    if (group == kTerminalGroup)
        return "Permission denied: the port is another user's terminal, not a serial adapter";
    const mode_t groupRw = S_IRGRP | S_IWGRP;
    if ((st.st_mode & groupRw) == groupRw)
        return "Permission denied: the port belongs to group '" + group + "'; " + joinAdvice(group) +
               kOtherAccessRoute;
    return "Permission denied: only its owner '" + userName(st.st_uid) + "' may open the port, not its group '" +
           group + "'; have it given to a group such as '" + kUsualSerialGroup + "' with mode 0660 and " +
           joinAdvice(kUsualSerialGroup);
}

std::string PosixPortFactory::_inUseReason(const std::string& name) const
{
    const std::string holder = findHolder(_procRoot, PosixSerialPort::devicePath(name));
    if (startsWith(holder, std::string(kModemManager) + " "))
        return modemManagerAdvice(holder);
    if (!holder.empty())
        return "The port is in use by " + holder + "; close that program and try again";
    // A holder run by another user (ModemManager runs as root) hides its
    // descriptors, but not its name.
    const std::string modemManager =
        findProcess(_procRoot, [](const fs::path& dir) { return processName(dir) == kModemManager; });
    if (!modemManager.empty())
        return modemManagerAdvice("another program, likely " + modemManager);
    return "The port is in use by another program; close it and try again";
}

std::string PosixPortFactory::explainFailure(const std::string& name, SerialPort::OpenResult result)
{
    switch (result) {
    case SerialPort::OpenOk: return noAnswerReason();
    case SerialPort::OpenNotFound: return notFoundReason(_listPorts());
    case SerialPort::OpenDenied: return _deniedReason(name);
    case SerialPort::OpenInUse: return _inUseReason(name);
    case SerialPort::OpenFailed: break;
    }
    return openFailedReason();
}
