#include "SafeSave.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#define PELAGO_HAVE_XATTR 1
#endif

#include "PosixFileIo.h"

namespace {

using namespace posix_file;

constexpr int kTempNameTries = 100;
constexpr size_t kTempBaseMax = 200;          // room for the suffix within NAME_MAX
constexpr mode_t kNewFileMode = 0666;         // narrowed by the umask, as any new file
constexpr const char* kOwnDescriptors = "/proc/self/fd";

std::string baseOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name the replacement is renamed to: links followed to the end. Only
// asked after the kernel has opened the path for writing, so it names a
// file this user may reach; the caller checks it is that same file.
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

// The tool's own descriptor for the file `st`, or -1: its stdout or
// stderr (replacing that file would send later lines to a deleted one), or
// a socket it holds, which cannot be opened by name.
int ownDescriptorFor(const struct stat& st)
{
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat held;
        if (fstat(fd, &held) == 0 && sameFile(held, st))
            return fd;
    }
    int found = -1;
    DIR* dir = S_ISSOCK(st.st_mode) ? opendir(kOwnDescriptors) : nullptr;
    if (dir == nullptr)
        return found;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        struct stat held;
        if (end != entry->d_name && *end == '\0' && fd != dirfd(dir) && fstat(int(fd), &held) == 0 &&
            sameFile(held, st)) {
            found = int(fd);
            break;
        }
    }
    closedir(dir);
    return found;
}

// What a save does with its path, found by opening it as given: the kernel
// then applies its own rules on links (fs.protected_symlinks) and on
// permissions, which resolving the links here would bypass.
struct Target {
    enum Kind { Stream, Replace } kind = Replace;
    int fd = -1;           // the path opened for writing, or the tool's own stream
    bool ownsFd = true;    // false for the tool's stdout, stderr or socket
    bool created = false;  // an empty file this save made at the path
    std::string name;      // what a replacement is renamed to
    struct stat st {};

    Target() = default;
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target() { release(); }
    // Closes the descriptor and takes away the file the save created.
    void release()
    {
        if (fd >= 0 && ownsFd)
            close(fd);
        fd = -1;
        struct stat now;
        if (created && lstat(name.c_str(), &now) == 0 && sameFile(now, st))
            unlink(name.c_str());
        created = false;
    }
};

// Why opening `path` for writing failed (errno from the open).
std::string refusal(const std::string& path)
{
    int code = errno;
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    errno = code;
    if (code == EISDIR)
        return "it is a directory";
    if (code == ENXIO && exists && S_ISFIFO(st.st_mode))
        return "no program is reading the FIFO";
    if (code == ENXIO && exists && S_ISSOCK(st.st_mode))
        return "it is a socket";
    if ((code == EACCES || code == EPERM) && exists && S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0)
        return "the file is read-only";
    return reason("cannot open it");
}

// Opens `path` for a save. `probing` leaves FIFOs and devices unopened, as
// opening one can end a reader's input or wake a device.
bool openTarget(const std::string& path, bool probing, Target& target, std::string* error)
{
    struct stat seen;
    if (stat(path.c_str(), &seen) == 0) {
        int own = ownDescriptorFor(seen);
        if (own >= 0) {
            target.kind = Target::Stream;
            target.fd = own;
            target.ownsFd = false;
            return true;
        }
        if (probing && (S_ISFIFO(seen.st_mode) || S_ISCHR(seen.st_mode))) {
            target.kind = Target::Stream;
            return true;
        }
    }
    // Never truncating: the file keeps its bytes until the rename. Without
    // a reader a FIFO fails at once (ENXIO) instead of waiting for ever.
    target.fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (target.fd < 0 && errno == ENOENT) {
        struct stat link;
        if (lstat(path.c_str(), &link) == 0) {
            *error = "it is a link to a file that does not exist";
            return false;
        }
        // O_EXCL: a link planted meanwhile is not followed.
        target.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode);
        if (target.fd < 0) {
            *error = reason("cannot create it");
            return false;
        }
        target.created = true;
        target.name = path;
        fstat(target.fd, &target.st);
        return true;
    }
    if (target.fd < 0) {
        *error = refusal(path);
        return false;
    }
    if (fstat(target.fd, &target.st) != 0) {
        *error = reason("cannot examine it");
        return false;
    }
    const mode_t mode = target.st.st_mode;
    if (S_ISCHR(mode) || S_ISFIFO(mode)) {
        target.kind = Target::Stream;
        return true;
    }
    if (S_ISBLK(mode)) {
        *error = "it is a block device";
        return false;
    }
    if (!S_ISREG(mode)) {
        *error = "it is not a regular file";
        return false;
    }
    // Root may write anything, yet a file its owner marked read-only stays
    // as it is.
    if ((mode & S_IWUSR) == 0) {
        *error = "the file is read-only";
        return false;
    }
    target.name = followLinks(path, error);
    struct stat named;
    if (target.name.empty())
        return false;
    if (lstat(target.name.c_str(), &named) != 0 || !sameFile(named, target.st)) {
        *error = "it changed while being opened";
        return false;
    }
    return true;
}

// Devices, FIFOs and the tool's own streams are written where they are:
// replacing one would put a plain file in place of the node.
bool writeStream(Target& target, const uint8_t* data, size_t size, std::string* error)
{
    if (!target.ownsFd) {
        // What the tool printed before goes first.
        std::fflush(stdout);
        std::fflush(stderr);
        return writeAll(target.fd, data, size, error);
    }
    int flags = fcntl(target.fd, F_GETFL);
    if (flags < 0 || fcntl(target.fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *error = reason("cannot set blocking writes");
        return false;
    }
    bool ok = writeAll(target.fd, data, size, error);
    int fd = target.fd;
    target.fd = -1;
    if (close(fd) != 0 && ok) {
        *error = reason("close failed");
        ok = false;
    }
    return ok;
}

// Creates a temporary file beside `target` that nothing stood at, readable
// by its owner only: a name planted in advance, a link included, makes
// O_EXCL fail and a new name is tried. Returns the descriptor, or -1 with
// *error.
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
        int fd = open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateMode);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            break;
    }
    *error = reason("cannot create a temporary file beside it");
    temp->clear();
    return -1;
}

#ifdef PELAGO_HAVE_XATTR
#ifdef __APPLE__
ssize_t listNames(int fd, char* names, size_t size) { return flistxattr(fd, names, size, 0); }
ssize_t getValue(int fd, const char* name, void* value, size_t size) { return fgetxattr(fd, name, value, size, 0, 0); }
int setValue(int fd, const char* name, const void* value, size_t size) { return fsetxattr(fd, name, value, size, 0, 0); }
int removeValue(int fd, const char* name) { return fremovexattr(fd, name, 0); }
#else
ssize_t listNames(int fd, char* names, size_t size) { return flistxattr(fd, names, size); }
ssize_t getValue(int fd, const char* name, void* value, size_t size) { return fgetxattr(fd, name, value, size); }
int setValue(int fd, const char* name, const void* value, size_t size) { return fsetxattr(fd, name, value, size, 0); }
int removeValue(int fd, const char* name) { return fremovexattr(fd, name); }
#endif

// The names of a file's extended attributes; false with errno on failure.
// A file system without them has none.
bool attributeNames(int fd, std::vector<std::string>& names)
{
    names.clear();
    ssize_t length = listNames(fd, nullptr, 0);
    if (length < 0)
        return errno == ENOTSUP;
    std::vector<char> buffer(size_t(length) + 1, '\0');
    length = listNames(fd, buffer.data(), size_t(length));
    if (length < 0)
        return false;
    for (size_t at = 0; at < size_t(length); at += names.back().size() + 1)
        names.emplace_back(buffer.data() + at);
    return true;
}

using Attributes = std::vector<std::pair<std::string, std::vector<char>>>;

// Every extended attribute of the file `fd`, names and values.
bool readAttributes(int fd, Attributes& attributes, std::string* error)
{
    std::vector<std::string> names;
    if (!attributeNames(fd, names)) {
        *error = reason("cannot read its extended attributes");
        return false;
    }
    attributes.clear();
    for (const std::string& name : names) {
        ssize_t size = getValue(fd, name.c_str(), nullptr, 0);
        std::vector<char> value(size > 0 ? size_t(size) : 0);
        if (size < 0 || (size > 0 && getValue(fd, name.c_str(), value.data(), value.size()) != size)) {
            *error = reason(("cannot read the extended attribute " + name).c_str());
            return false;
        }
        attributes.emplace_back(name, std::move(value));
    }
    return true;
}

// The replacement gets exactly the original's extended attributes, its
// POSIX ACLs (system.posix_acl_access) among them; one that cannot be
// copied fails the save, as the new file would grant more than the old.
bool copyAttributes(int from, int to, std::string* error)
{
    Attributes wanted;
    std::vector<std::string> inherited;
    if (!readAttributes(from, wanted, error))
        return false;
    if (!attributeNames(to, inherited)) {
        *error = reason("cannot read the new file's extended attributes");
        return false;
    }
    // A default ACL of the directory may have given the new file entries
    // the old one does not have.
    for (const std::string& name : inherited) {
        bool kept = false;
        for (const auto& w : wanted)
            kept = kept || w.first == name;
        if (!kept && removeValue(to, name.c_str()) != 0) {
            *error = reason(("cannot remove the extended attribute " + name).c_str());
            return false;
        }
    }
    for (const auto& [name, value] : wanted) {
        if (setValue(to, name.c_str(), value.data(), value.size()) != 0) {
            *error = reason(("cannot copy the extended attribute " + name).c_str());
            return false;
        }
    }
    return true;
}
#else
using Attributes = std::vector<int>;
bool readAttributes(int, Attributes&, std::string*)
{
    return true;
}
bool copyAttributes(int, int, std::string*)
{
    return true;
}
#endif

// Gives the replacement `fd` the original's owner and group. A process
// that may not (another user's file, a group it is not in) is refused:
// the file would change hands, and with it who may read the settings.
bool keepOwnership(const struct stat& original, int fd, std::string* error)
{
    struct stat now{};
    if (fchown(fd, original.st_uid, original.st_gid) != 0 && errno != EPERM) {
        *error = reason("cannot keep the owner");
        return false;
    }
    if (fstat(fd, &now) != 0) {
        *error = reason("cannot keep the owner");
        return false;
    }
    if (now.st_uid != original.st_uid || now.st_gid != original.st_gid) {
        *error = "its owner or group could not be kept: only its owner or root may replace it";
        return false;
    }
    return true;
}

// The replacement takes over the original's owner, group, extended
// attributes and mode, or the save is refused. A new file gets what any
// new file gets.
bool copyOwnershipAndMode(const Target& target, int fd, std::string* error)
{
    if (target.created) {
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, kNewFileMode & ~mask) != 0) {
            *error = reason("cannot set the permissions");
            return false;
        }
        return true;
    }
    const struct stat& original = target.st;
    if (!keepOwnership(original, fd, error))
        return false;
    if (!copyAttributes(target.fd, fd, error))
        return false;
    // Last: fchown may clear set-id bits, and an ACL sets the group bits.
    if (fchmod(fd, original.st_mode & kModeBits) != 0) {
        *error = reason("cannot keep the permissions");
        return false;
    }
    return true;
}

bool replaceAtomically(Target& target, const uint8_t* data, size_t size, std::string* error)
{
    std::string temp;
    int fd = createTemporary(target.name, &temp, error);
    if (fd < 0)
        return false;
    // Its own mode and owner only once the bytes are in, and before the
    // flush, so the renamed file is on disk as it is meant to be.
    bool ok = writeAll(fd, data, size, error) && copyOwnershipAndMode(target, fd, error);
    if (ok && fsync(fd) != 0) {
        *error = reason("flush to disk failed");
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        *error = reason("close failed");
        ok = false;
    }
    if (ok && rename(temp.c_str(), target.name.c_str()) != 0) {
        *error = reason("cannot replace the file");
        ok = false;
    }
    if (!ok) {
        unlink(temp.c_str());
        return false;
    }
    target.created = false;  // replaced by the new file: nothing to take away
    syncDirectory(AT_FDCWD, directoryOf(target.name));
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
    Target target;
    if (!openTarget(path, false, target, error))
        return false;
    if (target.kind == Target::Stream)
        return writeStream(target, data, size, error);
    return replaceAtomically(target, data, size, error);
}

bool safeSaveCheck(const std::string& path, std::string* error)
{
    if (path.empty()) {
        *error = "no file name";
        return false;
    }
    Target target;
    if (!openTarget(path, true, target, error))
        return false;
    if (target.kind == Target::Stream)
        return true;
    Attributes attributes;
    if (!target.created && !readAttributes(target.fd, attributes, error))
        return false;
    std::string temp;
    int fd = createTemporary(target.name, &temp, error);
    if (fd < 0)
        return false;
    bool ok = target.created || keepOwnership(target.st, fd, error);
    close(fd);
    unlink(temp.c_str());
    return ok;
}

