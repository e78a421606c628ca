#include "SettingsBackup.h"

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ActionBlock.h"
#include "AdapterInfo.h"
#include "BackupChoice.h"
#include "Printable.h"
#include "SafeSave.h"
#include "SettingsArea.h"

namespace {

#if defined(_WIN32)
constexpr const char* kHomeVariable = "LOCALAPPDATA";
constexpr const char* kDefaultBelowHome = "\\PelagoXcon\\backups";
constexpr char kSeparator = '\\';
#elif defined(__APPLE__)
constexpr const char* kHomeVariable = "HOME";
constexpr const char* kDefaultBelowHome = "/Library/Application Support/PelagoXcon/backups";
constexpr char kSeparator = '/';
#else
constexpr const char* kHomeVariable = "HOME";
constexpr const char* kDefaultBelowHome = "/.local/state/pelagoxcon/backups";
constexpr const char* kStateVariable = "XDG_STATE_HOME";
constexpr const char* kBelowState = "/pelagoxcon/backups";
constexpr char kSeparator = '/';
#endif

constexpr const char* kUnknownSerial = "unknown";
constexpr const char* kExtension = ".dat";
constexpr size_t kStampSize = sizeof "-YYYYMMDD-HHMMSS";
constexpr int kNameTries = 1000;
constexpr int kClaimMode = 0600;  // the settings are the owner's alone

BackupKeeper g_keeper = nullptr;

// The value of an environment variable; empty when unset.
std::string _variable(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool _isAbsolute(const std::string& dir)
{
#ifdef _WIN32
    return !dir.empty();  // Windows sets LOCALAPPDATA itself, absolute
#else
    return !dir.empty() && dir[0] == '/';
#endif
}

bool _isAsciiAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// `dir` and `name` joined; on Windows with the separator `dir` already uses.
std::string _join(const std::string& dir, const std::string& name)
{
    if (dir.empty())
        return name;
    char last = dir.back();
    if (last == '/' || last == kSeparator)
        return dir + name;
    bool slashesOnly = dir.find('/') != std::string::npos && dir.find(kSeparator) == std::string::npos;
    return dir + (slashesOnly ? '/' : kSeparator) + name;
}

// What the message shows when the default directory cannot be worked out.
std::string _unresolvedDir()
{
#ifdef _WIN32
    return std::string("%") + kHomeVariable + "%" + kDefaultBelowHome;
#else
    return std::string("$") + kHomeVariable + kDefaultBelowHome;
#endif
}

// Why `path`, which could not be made a directory, is none.
std::string _notADirectory(const std::filesystem::path& path, const std::error_code& failure)
{
    std::error_code error;
    std::filesystem::file_status status = std::filesystem::status(path, error);
    if (error)
        return error.message();
    if (std::filesystem::exists(status) && !std::filesystem::is_directory(status))
        return std::make_error_code(std::errc::not_a_directory).message();
    return failure.message();
}

// Makes `dir` and its missing parents, each new one for its owner alone
// (0700 whatever the umask): backups hold the adapter's settings. Never
// throws: every failure is a reason.
bool _makeDirectory(const std::string& dir, std::string& reason)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path partial;
    for (const fs::path& part : fs::path(dir)) {
        partial /= part;
        if (fs::is_directory(partial, error))
            continue;
        if (!fs::create_directory(partial, error)) {
            std::error_code ignored;
            if (fs::is_directory(partial, ignored))
                continue;  // made meanwhile by another run
            reason = _notADirectory(partial, error);
            return false;
        }
        fs::permissions(partial, fs::perms::owner_all, error);
        if (error) {
            reason = error.message();
            return false;
        }
    }
    return true;
}

// Creates `path` empty, failing when anything already stands there; so a
// name, once claimed, is this run's alone. errno tells why it failed.
bool _claim(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, kClaimMode);
    if (fd < 0)
        return false;
#ifndef _WIN32
    // The umask may take even the owner's write: the save would then
    // refuse the claimed file as read-only.
    ::fchmod(fd, kClaimMode);
#endif
    ::close(fd);
    return true;
}

bool _fail(const std::string& path, const std::string& reason)
{
    std::printf("Failed to back up adapter setting to %s, abort\n", printable(path).c_str());
    printSaveFailureReason(reason);
    return false;
}

} // namespace

std::string claimBackupPath(const std::string& dir, const std::string& stem, std::string& tried,
                            std::string& reason)
{
    tried = _join(dir, stem + kExtension);
    reason = "every name is taken";
    for (int n = 0; n < kNameTries; ++n) {
        std::string path = _join(dir, (n == 0 ? stem : stem + "-" + std::to_string(n)) + kExtension);
        if (_claim(path))
            return path;
        if (errno != EEXIST) {
            tried = path;
            reason = std::strerror(errno);
            return "";
        }
    }
    return "";
}

void setBackupKeeper(BackupKeeper keeper)
{
    g_keeper = keeper;
}

std::string settingsBackupDir()
{
    if (std::getenv(kBackupDirVariable) != nullptr)
        return _variable(kBackupDirVariable);
    // Relative values are ignored, so a run never depends on its directory.
#if !defined(_WIN32) && !defined(__APPLE__)
    std::string state = _variable(kStateVariable);
    if (_isAbsolute(state))
        return state + kBelowState;
#endif
    std::string home = _variable(kHomeVariable);
    return _isAbsolute(home) ? home + kDefaultBelowHome : "";
}

std::string settingsBackupSerial(const std::string& serial)
{
    std::string stem = serial;
    bool anyKept = false;
    for (char& c : stem) {
        if (_isAsciiAlnum(c))
            anyKept = true;
        else
            c = '_';
    }
    return anyKept ? stem : kUnknownSerial;
}

std::string settingsBackupStem(const std::string& serial, std::time_t when)
{
    std::string stem = settingsBackupSerial(serial);

    char stamp[kStampSize] = "";
    const std::tm* local = std::localtime(&when);
    if (local == nullptr || std::strftime(stamp, sizeof stamp, "-%Y%m%d-%H%M%S", local) == 0)
        stamp[0] = '\0';
    return stem + stamp;
}

bool backupSettings(Samba& samba, std::string* made)
{
    if (made != nullptr)
        made->clear();
    if (_variable(kNoBackupVariable) == "1")
        return true;

    std::string dir = settingsBackupDir();
    std::string reason;
    if (dir.empty() && std::getenv(kBackupDirVariable) != nullptr)
        return _fail(std::string("(empty ") + kBackupDirVariable + ")", std::string(kBackupDirVariable) + " is empty");
    if (dir.empty())
        return _fail(_unresolvedDir(), std::string(kHomeVariable) + " is not set or not an absolute path");
    if (!_makeDirectory(dir, reason))
        return _fail(dir, reason);

    std::string serial = adapterSerialNumber(samba);
    uint8_t image[kSettingsAreaSize];
    readSettingsArea(samba, image);
    reportSettingsAreaRead(image, [&] { return serial; });

    std::string tried;
    std::string path = claimBackupPath(dir, settingsBackupStem(serial, std::time(nullptr)), tried, reason);
    if (path.empty())
        return _fail(tried, reason);
    if (!safeSave(path, image, sizeof image, &reason)) {
        std::remove(path.c_str());  // the claim, still empty
        return _fail(path, reason);
    }
    if (g_keeper && !g_keeper(path, image, sizeof image, &reason)) {
        std::remove(path.c_str());  // not a backup the user can rely on
        return _fail(path, reason);
    }
    std::printf("Adapter setting backed up to %s\n", printable(path).c_str());
    if (made != nullptr)
        *made = path;
    return true;
}
