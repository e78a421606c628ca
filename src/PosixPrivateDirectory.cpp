#include "PrivateDirectory.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "PosixFileIo.h"

using namespace posix_file;

namespace {

constexpr mode_t kPrivateDirMode = 0700;
#ifndef __EMSCRIPTEN__
constexpr mode_t kOthersMayWrite = S_IWGRP | S_IWOTH;
constexpr uid_t kRoot = 0;
#endif
#if defined(O_PATH) && !defined(__EMSCRIPTEN__)
// Search permission is all a level needs, as for a path looked up by name.
constexpr int kLevelAccess = O_PATH;
#else
constexpr int kLevelAccess = O_RDONLY;
#endif

// Whether a file owned by `uid` is this user's own or root's, whom the
// user trusts anyway.
bool ownedBySelfOrRoot(uid_t uid)
{
#ifdef __EMSCRIPTEN__
    // The module's file system belongs to the page alone.
    (void)uid;
    return true;
#else
    return uid == geteuid() || uid == kRoot;
#endif
}

// Whether a level owned by `uid` with `mode` is safe from other users: an
// entry of a directory anyone else may write could be swapped under us.
bool safeFromOthers(uid_t uid, mode_t mode, bool isDirectory)
{
#ifdef __EMSCRIPTEN__
    (void)mode, (void)isDirectory;
#else
    if (isDirectory && (mode & kOthersMayWrite) != 0 && (mode & S_ISVTX) == 0)
        return false;
#endif
    return ownedBySelfOrRoot(uid);
}

std::string changeableByOthers(const std::string& level, const struct stat& st)
{
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & kModeBits));
    return level + " may be changed by another user (owner " + std::to_string(st.st_uid) + ", mode " + mode + ")";
}

std::string joinLevel(const std::string& level, const std::string& part)
{
    return level.empty() || level.back() == '/' ? level + part : level + "/" + part;
}

// The parts of `path` between slashes, "." dropped.
std::vector<std::string> pathParts(const std::string& path)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        std::string part = path.substr(at, slash == std::string::npos ? std::string::npos : slash - at);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        if (slash == std::string::npos)
            break;
        at = slash + 1;
    }
    return parts;
}

// Opens the directory `name` of `parent` (never through a link) and checks
// it; -1 with *error on failure.
int openLevel(int parent, const std::string& name, const std::string& level, std::string* error)
{
    int fd = openat(parent, name.c_str(), kLevelAccess | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *error = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (!safeFromOthers(st.st_uid, st.st_mode, true)) {
        *error = changeableByOthers(level, st);
        close(fd);
        return -1;
    }
    return fd;
}

// Replaces the descriptor in `fd` with `next`.
void descend(int& fd, int next)
{
    close(fd);
    fd = next;
}

} // namespace

PrivateDirectory::~PrivateDirectory()
{
    close();
}

void PrivateDirectory::close()
{
    if (_handle >= 0)
        ::close(int(_handle));
    _handle = -1;
}

bool PrivateDirectory::open(const std::string& dir, bool create, std::string* error)
{
    close();
    std::string absolute = dir;
    if (dir.empty() || dir[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            *error = reason("cannot find the current directory");
            return false;
        }
        absolute = joinLevel(cwd, dir);
    }
    std::string level = "/";
    int fd = openLevel(AT_FDCWD, level, level, error);
    std::vector<std::string> parts = pathParts(absolute);
    int links = 0;
    // Level by level, each checked before anything is looked up in it.
    while (fd >= 0 && !parts.empty()) {
        std::string part = parts.front();
        parts.erase(parts.begin());
        std::string next = part == ".." ? directoryOf(level) : joinLevel(level, part);
        struct stat st {};
        bool found = fstatat(fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        bool made = false;
        if (!found && errno == ENOENT && create) {
            // Private from its first instant; only the umask may take more.
            made = mkdirat(fd, part.c_str(), kPrivateDirMode) == 0;
            if (!made && errno != EEXIST) {
                *error = std::strerror(errno);
                descend(fd, -1);
                break;
            }
        } else if (found && S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t length = readlinkat(fd, part.c_str(), target, sizeof target - 1);
            if (!safeFromOthers(st.st_uid, st.st_mode, false)) {
                *error = changeableByOthers(next, st);
                descend(fd, -1);
            } else if (length <= 0 || ++links > kMaxLinkDepth) {
                *error = std::strerror(length <= 0 ? errno : ELOOP);
                descend(fd, -1);
            } else {
                std::vector<std::string> through = pathParts(std::string(target, size_t(length)));
                parts.insert(parts.begin(), through.begin(), through.end());
                if (target[0] == '/') {
                    level = "/";
                    descend(fd, openLevel(AT_FDCWD, level, level, error));
                }
            }
            continue;
        }
        // Not tightening: a umask without the owner's bits would leave it
        // unusable, and no one else could reach it meanwhile.
        if (made)
            fchmodat(fd, part.c_str(), kPrivateDirMode, 0);
        descend(fd, openLevel(fd, part, next, error));
        level = next;
    }
    if (fd < 0)
        return false;
    _path = dir;
    _handle = fd;
    return true;
}

NewFileResult PrivateDirectory::saveNew(const std::string& name, const uint8_t* data, size_t size,
                                        std::string* error)
{
    QuietSignals quiet;
    int dirFd = int(_handle);
    int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode);
    if (fd < 0 && errno == EEXIST)
        return NewFileResult::Taken;
    if (fd < 0) {
        *error = reason("cannot create it");
        return NewFileResult::Failed;
    }
    struct stat made {};
    // The umask may have taken even the owner's write.
    bool ok = fchmod(fd, kPrivateMode) == 0 && fstat(fd, &made) == 0;
    if (!ok)
        *error = reason("cannot set the permissions");
    ok = ok && writeAll(fd, data, size, error);
    if (ok && fsync(fd) != 0) {
        *error = reason("flush to disk failed");
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        *error = reason("close failed");
        ok = false;
    }
    struct stat named {};
    bool stillNamed = fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(named, made);
    if (ok && !stillNamed) {
        *error = "it was replaced while being written";
        ok = false;
    }
    if (!ok && stillNamed)
        unlinkat(dirFd, name.c_str(), 0);
    if (ok)
        syncDirectory(dirFd);
    return ok ? NewFileResult::Saved : NewFileResult::Failed;
}

void PrivateDirectory::remove(const std::string& name)
{
    if (_handle >= 0)
        unlinkat(int(_handle), name.c_str(), 0);
}

std::vector<std::string> PrivateDirectory::names() const
{
    std::vector<std::string> found;
    // A descriptor of its own: the held one may allow no reading, and
    // closedir closes what it was given.
    int fd = _handle >= 0 ? openat(int(_handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            ::close(fd);
        return found;
    }
    while (const dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            found.push_back(name);
    }
    closedir(dir);
    return found;
}

bool PrivateDirectory::readExact(const std::string& name, uint8_t* data, size_t size) const
{
    // A first look by name spares opening a device or a FIFO at all; the
    // descriptor's own look below is the one that counts.
    struct stat seen {};
    if (_handle < 0 || fstatat(int(_handle), name.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(seen.st_mode))
        return false;
    int fd = openat(int(_handle), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ownedBySelfOrRoot(st.st_uid) &&
              st.st_size >= 0 && size_t(st.st_size) == size;
    size_t done = 0;
    while (ok && done < size) {
        ssize_t got = read(fd, data + done, size - done);
        if (got < 0 && errno == EINTR)
            continue;
        ok = got > 0;
        done += ok ? size_t(got) : 0;
    }
    ::close(fd);
    return ok;
}
