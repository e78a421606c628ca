#include "SafeSave.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kMaxLinkDepth = 40;             // as the kernel's own limit on nested links
constexpr int kTempNameTries = 100;
constexpr size_t kTempBaseMax = 200;          // room for the suffix within NAME_MAX
constexpr mode_t kNewFileMode = 0666;         // narrowed by the umask, as any new file
constexpr mode_t kModeBits = 07777;

std::string reason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

// A full disk or a file size limit must fail the write, not end the
// process; a reader that leaves a FIFO likewise.
class QuietSignals {
public:
    QuietSignals()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, &_oldFsize);
        sigaction(SIGPIPE, &ignore, &_oldPipe);
    }
    ~QuietSignals()
    {
        sigaction(SIGXFSZ, &_oldFsize, nullptr);
        sigaction(SIGPIPE, &_oldPipe, nullptr);
    }
    QuietSignals(const QuietSignals&) = delete;
    QuietSignals& operator=(const QuietSignals&) = delete;

private:
    struct sigaction _oldFsize {};
    struct sigaction _oldPipe {};
};

std::string directoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name the save lands on: links followed to the end, also to a name
// that does not exist yet. Empty with *error when the chain cannot be read.
std::string followLinks(const std::string& path, std::string* error)
{
    std::string name = path;
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        struct stat st;
        if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return name;
        char buffer[PATH_MAX];
        ssize_t length = readlink(name.c_str(), buffer, sizeof buffer - 1);
        if (length < 0) {
            *error = reason("cannot read the link");
            return "";
        }
        std::string next(buffer, size_t(length));
        name = next[0] == '/' ? next : directoryOf(name) + "/" + next;
    }
    *error = "too many levels of links";
    return "";
}

bool writeAll(int fd, const uint8_t* data, size_t size, std::string* error)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            *error = reason("write failed");
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

// Mode bits, not access(): root may write anything, yet a file its owner
// marked read-only stays as it is; others are also held to what they may write.
bool isReadOnly(const std::string& path, const struct stat& st)
{
    if ((st.st_mode & S_IWUSR) == 0)
        return true;
    return geteuid() != 0 && access(path.c_str(), W_OK) != 0 && errno == EACCES;
}

const char* refusedKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "it is a directory";
    if (S_ISBLK(mode))
        return "it is a block device";
    if (S_ISSOCK(mode))
        return "it is a socket";
    return nullptr;
}

// Devices and FIFOs are written where they are: replacing one would put a
// plain file in place of the node.
bool writeInPlace(const std::string& path, const struct stat& before, const uint8_t* data,
                  size_t size, std::string* error)
{
    // Non-blocking open: a FIFO nobody reads fails at once (ENXIO) instead
    // of waiting for ever; the writes themselves then block as any writer.
    int fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENXIO && S_ISFIFO(before.st_mode))
            *error = "no program is reading the FIFO";
        else
            *error = reason("cannot open it");
        return false;
    }
    struct stat opened;
    bool ok = fstat(fd, &opened) == 0 && opened.st_dev == before.st_dev &&
              opened.st_ino == before.st_ino;
    if (!ok)
        *error = "it changed while being opened";
    int flags = ok ? fcntl(fd, F_GETFL) : -1;
    if (ok && (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)) {
        *error = reason("cannot set blocking writes");
        ok = false;
    }
    ok = ok && writeAll(fd, data, size, error);
    if (close(fd) != 0 && ok) {
        *error = reason("close failed");
        ok = false;
    }
    return ok;
}

// Creates a temporary file beside `target` that nothing stood at: a name
// planted in advance, a link included, makes O_EXCL fail and a new name is
// tried. Returns the descriptor, or -1 with *error.
int createTemporary(const std::string& target, std::string* temp, std::string* error)
{
    std::string prefix = directoryOf(target) + "/." + baseOf(target).substr(0, kTempBaseMax) + ".";
    auto seed = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                (uint64_t(getpid()) << 32);
    for (int attempt = 0; attempt < kTempNameTries; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%06llx.tmp",
                      static_cast<unsigned long long>((seed + uint64_t(attempt) * 0x9E3779B97F4A7C15ULL) &
                                                      0xFFFFFF));
        *temp = prefix + suffix;
        int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kNewFileMode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    *error = reason("cannot create a temporary file beside it");
    temp->clear();
    return -1;
}

// The replacement takes over the original's owner, group and mode; a
// process that may not give away a file keeps what it can.
bool copyOwnershipAndMode(int fd, const struct stat& original, std::string* error)
{
    if (fchown(fd, original.st_uid, original.st_gid) != 0) {
        if (errno != EPERM) {
            *error = reason("cannot keep the owner");
            return false;
        }
        if (fchown(fd, uid_t(-1), original.st_gid) != 0 && errno != EPERM) {
            *error = reason("cannot keep the group");
            return false;
        }
    }
    // After fchown, which may clear set-id bits.
    if (fchmod(fd, original.st_mode & kModeBits) != 0) {
        *error = reason("cannot keep the permissions");
        return false;
    }
    return true;
}

// The rename is only durable once the directory entry is on disk too. Some
// file systems refuse to sync a directory; the file is in place then anyway.
void syncDirectory(const std::string& directory)
{
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

bool replaceAtomically(const std::string& target, const struct stat* original, const uint8_t* data,
                       size_t size, std::string* error)
{
    std::string temp;
    int fd = createTemporary(target, &temp, error);
    if (fd < 0)
        return false;
    bool ok = writeAll(fd, data, size, error);
    if (ok && fsync(fd) != 0) {
        *error = reason("flush to disk failed");
        ok = false;
    }
    if (ok && original != nullptr)
        ok = copyOwnershipAndMode(fd, *original, error);
    if (close(fd) != 0 && ok) {
        *error = reason("close failed");
        ok = false;
    }
    if (ok && rename(temp.c_str(), target.c_str()) != 0) {
        *error = reason("cannot replace the file");
        ok = false;
    }
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    syncDirectory(directoryOf(target));
    return true;
}

} // namespace

bool safeSave(const std::string& path, const uint8_t* data, size_t size, std::string* error)
{
    if (path.empty()) {
        *error = "no file name";
        return false;
    }
    QuietSignals quiet;
    std::string target = followLinks(path, error);
    if (target.empty())
        return false;

    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            *error = reason("cannot examine it");
            return false;
        }
        return replaceAtomically(target, nullptr, data, size, error);
    }
    if (const char* refused = refusedKind(st.st_mode)) {
        *error = refused;
        return false;
    }
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))
        return writeInPlace(target, st, data, size, error);
    if (isReadOnly(target, st)) {
        *error = "the file is read-only";
        return false;
    }
    return replaceAtomically(target, &st, data, size, error);
}
