// The save rules, one table run against every way the tool saves a file:
// the save routine itself, the offline save (-l answered y), -s and the
// backup before an erase. A new way of saving is one more entry in kRoutes.
// Rules marked Need::User run the save as an ordinary user (setpriv), as
// the kernel's permission and link rules only bind one.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DeviceHarness.h"
#include "NativeLauncher.h"
#include "SafeSave.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr rlim_t kWriteLimit = 1000;  // bytes: no settings image fits
constexpr uid_t kNobody = 65534;
constexpr unsigned kChildSeconds = 20;
constexpr int kDrainQuietMs = 2000;
const std::string kTuneAndSave = "1\n1\n2\n3\n4\n0\ny\n";
constexpr const char* kSetfacl = "/usr/bin/setfacl";
constexpr const char* kAclAccess = "system.posix_acl_access";
constexpr const char* kProtectedSymlinks = "/proc/sys/fs/protected_symlinks";

// Applies a soft RLIMIT_FSIZE (0: none) until it goes out of scope.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : _active(bytes != 0)
    {
        getrlimit(RLIMIT_FSIZE, &_old);
        rlimit limited = _old;
        limited.rlim_cur = bytes;
        if (_active)
            setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        if (_active)
            setrlimit(RLIMIT_FSIZE, &_old);
    }

private:
    bool _active;
    rlimit _old{};
};

// One way of saving: what stands at the target before, what a completed
// save stores, and the save itself (true when it reports success).
class SaveRoute {
public:
    virtual ~SaveRoute() = default;
    // Lets an ordinary user run the save (its port, for one).
    virtual void allowUser() {}
    long user = -1;  // the save runs as this user; -1: as the test
    virtual Bytes original() const { return Bytes(10, 'x'); }
    virtual Bytes expected() = 0;
    virtual bool save(const std::string& target, rlim_t limit) = 0;
};

class FunctionRoute : public SaveRoute {
public:
    explicit FunctionRoute(DeviceHarness&) {}
    Bytes expected() override { return patternBytes(4096, 7); }
    bool save(const std::string& target, rlim_t limit) override
    {
        // In a child: a limit that killed the process must not take the test with it.
        Bytes data = expected();
        ChildOutcome saved = runInChild(user, kChildSeconds, [&](std::string& error) {
            FileSizeLimit limited(limit);
            return safeSave(target, data.data(), data.size(), &error);
        });
        EXPECT_TRUE(WIFEXITED(saved.status)) << "the save ended by signal " << WTERMSIG(saved.status);
        EXPECT_EQ(saved.text.empty(), saved.ok) << "reason: " << saved.text;
        return saved.ok;
    }
};

class OfflineRoute : public SaveRoute {
public:
    explicit OfflineRoute(DeviceHarness& h) : _h(h)
    {
        // A completed save stores what the same answers make of a plain copy.
        std::string reference = h.path("reference.dat");
        writeFile(reference, original());
        h.run({"-l", reference}, 20s, kTuneAndSave);
        _expected = readFile(reference);
        fs::remove(reference);
    }
    Bytes original() const override { return readFile(PELAGO_SAMPLES_DIR "/lenses.dat"); }
    Bytes expected() override { return _expected; }
    bool save(const std::string& target, rlim_t limit) override
    {
        ProcessResult r;
        {
            FileSizeLimit limited(limit);
            r = _h.run({"-l", target}, 20s, kTuneAndSave);
        }
        EXPECT_EQ(r.exitStatus, 1);
        const std::string saved = "Adapter setting was saved\n";
        if (r.out.size() >= saved.size() && r.out.compare(r.out.size() - saved.size(), saved.size(), saved) == 0)
            return true;
        bool refused = r.out.find("Failed in saving adapter setting file " + target + " (") != std::string::npos ||
                       r.out.find("Failed in opening adapter setting file " + target + ", abort\n") != std::string::npos;
        EXPECT_TRUE(refused) << r.out;
        return false;
    }

private:
    DeviceHarness& _h;
    Bytes _expected;
};

class DeviceSaveRoute : public SaveRoute {
public:
    explicit DeviceSaveRoute(DeviceHarness& h) : _h(h) { h.startSim(); }
    void allowUser() override { chmod(_h.port().c_str(), 0666); }
    Bytes expected() override { return flashRange(_h.adapter().flashSnapshot(), 0x1F000, 0x1000); }
    bool save(const std::string& target, rlim_t limit) override
    {
        ProcessResult r;
        {
            FileSizeLimit limited(limit);
            r = _h.runOnPort({"-s", target}, 60s);
        }
        if (r.exitStatus == 0) {
            EXPECT_EQ(maskTimes(r.out), "\nAdapter setting saved to " + target + "\ndone in T seconds\n");
            return true;
        }
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(maskTimes(r.out), "\nFailed to create file " + target + " , abort\ndone in T seconds\n");
        EXPECT_NE(r.err.find("\nReason: "), std::string::npos) << r.err;
        // Known before the adapter is read, unless only writing can tell.
        struct stat st {};
        bool fifo = stat(target.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
        if (limit == 0 && !fifo) {
            EXPECT_TRUE(_h.commands("w0001F").empty()) << "the adapter was read before the refusal";
        }
        return false;
    }

private:
    DeviceHarness& _h;
};

// The backup before -u: it names its file itself, in the directory of the
// rule's target; what it made is moved to the target to be checked there.
class BackupRoute : public SaveRoute {
public:
    explicit BackupRoute(DeviceHarness& h) : _h(h), _source(h.path("source.dat"))
    {
        h.startSim();
        _expected = flashRange(h.adapter().flashSnapshot(), 0x1F000, 0x1000);
        writeFile(_source, settingsFileBytes(8));
        chmod(_source.c_str(), 0644);
    }
    void allowUser() override { chmod(_h.port().c_str(), 0666); }
    Bytes expected() override { return _expected; }
    bool save(const std::string& target, rlim_t limit) override
    {
        _h.launcher().setEnvironment({"PELAGOXCON_BACKUP_DIR=" + fs::path(target).parent_path().string()});
        ProcessResult r;
        {
            FileSizeLimit limited(limit);
            r = _h.runOnPort({"-u", _source}, 60s);
        }
        const std::string line = "\nAdapter setting backed up to ";
        if (r.exitStatus == 0 && r.out.compare(0, line.size(), line) == 0) {
            std::string made = r.out.substr(line.size(), r.out.find('\n', line.size()) - line.size());
            fs::rename(made, target);
            return true;
        }
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_NE(r.out.find("Failed to back up adapter setting to "), std::string::npos) << r.out;
        EXPECT_EQ(_h.commands("X").size(), 0u) << "erased without a backup";
        return false;
    }

private:
    DeviceHarness& _h;
    std::string _source;
    Bytes _expected;
};

struct RouteParam {
    std::string name;
    bool readsTarget;  // the target must hold a settings file before the save
    std::function<std::unique_ptr<SaveRoute>(DeviceHarness&)> make;
    bool namesItsFile = false;  // only the rules about a new file in a directory apply
};

const RouteParam kRoutes[] = {
    {"Function", false, [](DeviceHarness& h) { return std::make_unique<FunctionRoute>(h); }},
    {"Offline", true, [](DeviceHarness& h) { return std::make_unique<OfflineRoute>(h); }},
    {"DeviceSave", false, [](DeviceHarness& h) { return std::make_unique<DeviceSaveRoute>(h); }},
    {"Backup", false, [](DeviceHarness& h) { return std::make_unique<BackupRoute>(h); }, true},
};

// What a route that names its own file is tried with.
const char* const kNewFileRules[] = {"MissingFileIsCreated", "PlantedLinksAtTemporaryNamesAreLeftAlone",
                                     "WriteCutShortLeavesTheFileAlone", "UmaskWithoutOwnerWriteStillSaves",
                                     "UserMayNotCreateInADirectoryItMayNotWrite",
                                     "ClaimedNameSwappedForALinkLeavesItsTargetAlone"};

// Rules only a route that names its own file is tried with: what they
// arrange would be the user's own choice of file for the others.
const char* const kOwnNameRules[] = {"ClaimedNameSwappedForALinkLeavesItsTargetAlone"};

// The mode every temporary file (.NAME.xxxxxx.tmp) of a directory has at
// the moment it is opened, seen through fanotify's permission events: the
// opening process waits until the mode is taken, and until `onOpen` (when
// given) has done with the path opened. Needs CAP_SYS_ADMIN.
class TemporaryWatch {
public:
    explicit TemporaryWatch(const std::string& dir, std::function<void(const std::string&)> onOpen = {})
        : _onOpen(std::move(onOpen))
    {
        _fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
        if (_fd < 0 || pipe(_stop) != 0 ||
            fanotify_mark(_fd, FAN_MARK_ADD, FAN_OPEN_PERM | FAN_EVENT_ON_CHILD, AT_FDCWD, dir.c_str()) != 0)
            return;
        _thread = std::thread([this] { serve(); });
    }
    ~TemporaryWatch() { stop(); }
    // Stops watching; the modes seen, in order.
    std::vector<mode_t> stop()
    {
        if (_thread.joinable()) {
            ssize_t ignored = write(_stop[1], "x", 1);
            (void)ignored;
            _thread.join();
        }
        for (int fd : {_fd, _stop[0], _stop[1]})
            if (fd >= 0)
                close(fd);
        _fd = _stop[0] = _stop[1] = -1;
        return _modes;
    }
    static bool available()
    {
        int fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    }

private:
    void serve()
    {
        alignas(fanotify_event_metadata) char buffer[4096];
        pollfd fds[2] = {{_fd, POLLIN, 0}, {_stop[0], POLLIN, 0}};
        while (poll(fds, 2, -1) > 0 && fds[1].revents == 0) {
            ssize_t length = read(_fd, buffer, sizeof buffer);
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (; length > 0 && FAN_EVENT_OK(event, length); event = FAN_EVENT_NEXT(event, length)) {
                char name[PATH_MAX] = "";
                std::string link = "/proc/self/fd/" + std::to_string(event->fd);
                ssize_t n = readlink(link.c_str(), name, sizeof name - 1);
                std::string path(name, n > 0 ? size_t(n) : 0);
                struct stat st {};
                if (path.find("/.") != std::string::npos && path.size() > 4 &&
                    path.compare(path.size() - 4, 4, ".tmp") == 0 && fstat(event->fd, &st) == 0)
                    _modes.push_back(st.st_mode & 07777);
                if (_onOpen)
                    _onOpen(path);
                fanotify_response allow{event->fd, FAN_ALLOW};
                ssize_t ignored = write(_fd, &allow, sizeof allow);
                (void)ignored;
                close(event->fd);
            }
        }
    }

    int _fd = -1;
    int _stop[2] = {-1, -1};
    std::thread _thread;
    std::vector<mode_t> _modes;
    std::function<void(const std::string&)> _onOpen;
};

// What a rule arranges and looks at: the scratch directory, the route, and
// the far end of a FIFO or terminal.
struct Scene {
    DeviceHarness& h;
    SaveRoute& route;
    int peer = -1;  // reads what reached a FIFO or terminal
    int keep = -1;  // the terminal's own end, held open while the save runs
    std::string note;  // what arrange saw and check compares
    std::unique_ptr<TemporaryWatch> watch;

    ~Scene()
    {
        if (peer >= 0)
            close(peer);
        if (keep >= 0)
            close(keep);
    }
    std::string file(const std::string& name, mode_t mode)
    {
        std::string path = h.path(name);
        writeFile(path, route.original());
        chmod(path.c_str(), mode);
        return path;
    }
    // Everything that arrived at the peer until it falls quiet.
    Bytes drain()
    {
        Bytes got;
        pollfd p{peer, POLLIN, 0};
        uint8_t buffer[4096];
        while (poll(&p, 1, kDrainQuietMs) > 0) {
            ssize_t n = read(peer, buffer, sizeof buffer);
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }
};

mode_t modeOf(const std::string& path)
{
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode;
}

enum class Expect { Stored, Refused };

// What a rule needs of the machine beyond the scratch directory.
enum class Need { Nothing, User, ProtectedSymlinks, Acl, Fanotify };

// Why the machine cannot run a rule that needs `need`; empty when it can.
std::string unmet(Need need)
{
    const bool root = geteuid() == 0;
    if (need == Need::User && !root)
        return "the effective UID is not 0 (running the tool as another user needs root)";
    if (need == Need::User && access(NativeLauncher::kSetpriv, X_OK) != 0)
        return std::string(NativeLauncher::kSetpriv) + " is not executable (it runs the tool as another user)";
    if (need == Need::Acl && access(kSetfacl, X_OK) != 0)
        return std::string(kSetfacl) + " is not executable (Debian package acl)";
    if (need == Need::Fanotify && !TemporaryWatch::available())
        return std::string("fanotify_init failed: ") + std::strerror(errno) +
               " (watching the temporary file as it is opened needs CAP_SYS_ADMIN)";
    if (need == Need::ProtectedSymlinks) {
        std::ifstream sysctl(kProtectedSymlinks);
        int on = 0;
        if (!root)
            return "the effective UID is not 0 (the planted-link rules need root)";
        if (!(sysctl >> on) || on != 1)
            return std::string(kProtectedSymlinks) + " is not 1 (with it off the kernel itself follows the link)";
    }
    return "";
}

// The value of extended attribute `name` of `path`; "-" when it has none.
std::string attribute(const std::string& path, const char* name)
{
    char value[512];
    ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
    return size < 0 ? "-" : std::string(value, size_t(size));
}

struct SaveRule {
    std::string name;
    Expect expect;
    bool readableTarget;  // the offline route can load what stands there
    bool needsRoot;
    rlim_t writeLimit;
    std::function<std::string(Scene&)> arrange;  // returns the path to save to
    std::function<void(Scene&, const std::string&)> check;
    Need need = Need::Nothing;  // User: the save runs as an ordinary user
    int umaskBits = -1;         // the save's umask; -1: the test's own
};

const SaveRule kRules[] = {
    {"RegularFileIsReplaced", Expect::Stored, true, false, 0,
     [](Scene& s) { return s.file("user.dat", 0644); },
     [](Scene& s, const std::string& t) { EXPECT_EQ(readFile(t), s.route.expected()); }},
    {"MissingFileIsCreated", Expect::Stored, false, false, 0,
     [](Scene& s) { return s.h.path("new.dat"); },
     [](Scene& s, const std::string& t) { EXPECT_EQ(readFile(t), s.route.expected()); }},
    {"ReadOnlyFileIsRefused", Expect::Refused, true, false, 0,
     [](Scene& s) { return s.file("user.dat", 0444); },
     [](Scene& s, const std::string& t) {
         EXPECT_EQ(readFile(t), s.route.original());
         EXPECT_EQ(modeOf(t) & 07777, 0444u);
     }},
    {"LinkIsFollowedAndKept", Expect::Stored, true, false, 0,
     [](Scene& s) {
         s.file("real.dat", 0644);
         fs::create_symlink("real.dat", s.h.path("link.dat"));
         return s.h.path("link.dat");
     },
     [](Scene& s, const std::string& t) {
         EXPECT_TRUE(S_ISLNK(modeOf(t)));
         EXPECT_EQ(readFile(s.h.path("real.dat")), s.route.expected());
     }},
    {"PlantedLinksAtTemporaryNamesAreLeftAlone", Expect::Stored, true, false, 0,
     [](Scene& s) {
         std::string victim = s.file("victim.dat", 0644);
         for (const char* name : {"user.dat.tmp", "user.dat.tmp1", "user.dat.saving", "user.dat.new",
                                  "user.dat~", ".user.dat.tmp", ".user.dat.saving"})
             fs::create_symlink(victim, s.h.path(name));
         return s.file("user.dat", 0644);
     },
     [](Scene& s, const std::string& t) {
         EXPECT_EQ(readFile(t), s.route.expected());
         EXPECT_EQ(readFile(s.h.path("victim.dat")), s.route.original());
     }},
    {"DirectoryIsRefused", Expect::Refused, true, false, 0,
     [](Scene& s) {
         fs::create_directories(s.h.path("taken/inside"));
         return s.h.path("taken");
     },
     [](Scene& s, const std::string&) { EXPECT_TRUE(fs::is_directory(s.h.path("taken/inside"))); }},
    {"FifoIsWrittenInPlace", Expect::Stored, false, false, 0,
     [](Scene& s) {
         std::string fifo = s.h.path("pipe");
         mkfifo(fifo.c_str(), 0644);
         s.peer = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
         return fifo;
     },
     [](Scene& s, const std::string& t) {
         EXPECT_TRUE(S_ISFIFO(modeOf(t)));
         EXPECT_EQ(s.drain(), s.route.expected());
     }},
    {"FifoWithoutReaderIsRefusedAtOnce", Expect::Refused, false, false, 0,
     [](Scene& s) {
         mkfifo(s.h.path("pipe").c_str(), 0644);
         return s.h.path("pipe");
     },
     [](Scene&, const std::string& t) { EXPECT_TRUE(S_ISFIFO(modeOf(t))); }},
    {"TerminalIsWrittenInPlace", Expect::Stored, false, false, 0,
     [](Scene& s) {
         s.peer = posix_openpt(O_RDWR | O_NOCTTY);
         if (s.peer < 0 || grantpt(s.peer) != 0 || unlockpt(s.peer) != 0)
             return std::string("/nonexistent/pty");
         std::string slave = ptsname(s.peer);
         // Raw, so the bytes arrive as written (no CR before LF).
         s.keep = open(slave.c_str(), O_RDWR | O_NOCTTY);
         termios raw{};
         tcgetattr(s.keep, &raw);
         cfmakeraw(&raw);
         tcsetattr(s.keep, TCSANOW, &raw);
         return slave;
     },
     [](Scene& s, const std::string& t) {
         EXPECT_TRUE(S_ISCHR(modeOf(t)));
         EXPECT_EQ(s.drain(), s.route.expected());
     }},
    {"DeviceNodeIsNotReplaced", Expect::Stored, true, true, 0,
     [](Scene& s) {
         std::string node = s.h.path("null");
         EXPECT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         return node;
     },
     [](Scene&, const std::string& t) { EXPECT_TRUE(S_ISCHR(modeOf(t))); }},
    {"ModeAndOwnerAreKept", Expect::Stored, true, false, 0,
     [](Scene& s) {
         std::string path = s.file("user.dat", 0640);
         if (geteuid() == 0) {
             EXPECT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
         }
         return path;
     },
     [](Scene& s, const std::string& t) {
         struct stat st {};
         stat(t.c_str(), &st);
         EXPECT_EQ(st.st_mode & 07777, 0640u);
         if (geteuid() == 0) {
             EXPECT_EQ(st.st_uid, kNobody);
             EXPECT_EQ(st.st_gid, kNobody);
         }
         EXPECT_EQ(readFile(t), s.route.expected());
     }},
    {"HardLinkIsBrokenAndTheOtherNameKeepsTheOldContent", Expect::Stored, true, false, 0,
     [](Scene& s) {
         std::string path = s.file("user.dat", 0644);
         fs::create_hard_link(path, s.h.path("other.dat"));
         return path;
     },
     [](Scene& s, const std::string& t) {
         EXPECT_EQ(readFile(t), s.route.expected());
         EXPECT_EQ(readFile(s.h.path("other.dat")), s.route.original());
     }},
    {"WriteCutShortLeavesTheFileAlone", Expect::Refused, true, false, kWriteLimit,
     [](Scene& s) { return s.file("user.dat", 0644); },
     [](Scene& s, const std::string& t) { EXPECT_EQ(readFile(t), s.route.original()); }},
    // Until it holds the settings and the target's own mode, another user
    // must not open the temporary file: it is created for its owner only.
    {"TemporaryFileIsPrivateFromTheStart", Expect::Stored, true, false, 0,
     [](Scene& s) {
         std::string path = s.file("shared.dat", 0644);
         s.watch = std::make_unique<TemporaryWatch>(s.h.path(""));
         return path;
     },
     [](Scene& s, const std::string& t) {
         std::vector<mode_t> modes = s.watch->stop();
         EXPECT_FALSE(modes.empty()) << "no temporary file was seen";
         for (mode_t mode : modes)
             EXPECT_EQ(mode & 077, 0u) << std::oct << mode;
         EXPECT_EQ(readFile(t), s.route.expected());
         EXPECT_EQ(modeOf(t) & 07777, 0644u);
     },
     Need::Fanotify},
    {"UmaskWithoutOwnerWriteStillSaves", Expect::Stored, false, false, 0,
     [](Scene& s) { return s.h.path("new.dat"); },
     [](Scene& s, const std::string& t) {
         EXPECT_EQ(readFile(t), s.route.expected());
         EXPECT_EQ(modeOf(t) & 077, 0u);
     },
     Need::Nothing, 0277},
    // Another user's link in a sticky world-writable directory, as in /tmp:
    // the kernel refuses to follow it, and so must the save.
    {"PlantedLinkInAStickyDirectoryIsNotFollowed", Expect::Refused, false, false, 0,
     [](Scene& s) {
         chmod(s.h.path("").c_str(), 01777);
         s.file("victim.dat", 0644);
         std::string link = s.h.path("planted.dat");
         fs::create_symlink(s.h.path("victim.dat"), link);
         EXPECT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
         return link;
     },
     [](Scene& s, const std::string& t) {
         EXPECT_TRUE(S_ISLNK(modeOf(t)));
         EXPECT_EQ(readFile(s.h.path("victim.dat")), s.route.original());
     },
     Need::ProtectedSymlinks},
    {"AclAndExtendedAttributesAreKept", Expect::Stored, true, false, 0,
     [](Scene& s) {
         std::string path = s.file("shared.dat", 0640);
         // A named user may write: the ACL's mask, shown as the group bits, is rw.
         EXPECT_EQ(runProcess(kSetfacl, {"-m", "u:" + std::to_string(kNobody) + ":rw", path}, "", 10s).exitStatus, 0);
         EXPECT_EQ(setxattr(path.c_str(), "user.pelago", "kept", 4, 0), 0);
         s.note = attribute(path, kAclAccess);
         EXPECT_NE(s.note, "-");
         return path;
     },
     [](Scene& s, const std::string& t) {
         EXPECT_EQ(readFile(t), s.route.expected());
         EXPECT_EQ(attribute(t, kAclAccess), s.note);
         EXPECT_EQ(attribute(t, "user.pelago"), "kept");
         EXPECT_EQ(modeOf(t) & 07777, 0660u);
     },
     Need::Acl},
    // As an ordinary user: the kernel's permissions decide, through links too.
    {"UserMayNotReplaceAnotherUsersFile", Expect::Refused, true, false, 0,
     [](Scene& s) { return s.file("roots.dat", 0644); },
     [](Scene& s, const std::string& t) { EXPECT_EQ(readFile(t), s.route.original()); }, Need::User},
    // Writable by the user but not its own: a replacement would change hands.
    {"UserMayNotTakeOverAnotherUsersWritableFile", Expect::Refused, true, false, 0,
     [](Scene& s) { return s.file("shared.dat", 0666); },
     [](Scene& s, const std::string& t) {
         struct stat st {};
         stat(t.c_str(), &st);
         EXPECT_EQ(st.st_uid, 0u);
         EXPECT_EQ(readFile(t), s.route.original());
     },
     Need::User},
    {"UserIsNotLedByALinkToAFileItMayNotWrite", Expect::Refused, false, false, 0,
     [](Scene& s) {
         s.file("roots.dat", 0644);
         std::string link = s.h.path("mine.dat");
         fs::create_symlink("roots.dat", link);
         EXPECT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
         return link;
     },
     [](Scene& s, const std::string&) { EXPECT_EQ(readFile(s.h.path("roots.dat")), s.route.original()); },
     Need::User},
    {"UserMayNotCreateInADirectoryItMayNotWrite", Expect::Refused, false, false, 0,
     [](Scene& s) {
         fs::create_directory(s.h.path("locked"));
         chmod(s.h.path("locked").c_str(), 0755);
         return s.h.path("locked/new.dat");
     },
     [](Scene& s, const std::string&) { EXPECT_TRUE(fs::is_empty(s.h.path("locked"))); }, Need::User},
    // The user may write the file but not read its attributes: a copy
    // without them could grant more than the file does.
    {"AttributesThatCannotBeCopiedRefuseTheSave", Expect::Refused, false, false, 0,
     [](Scene& s) {
         std::string path = s.file("writeonly.dat", 0200);
         EXPECT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
         EXPECT_EQ(setxattr(path.c_str(), "user.pelago", "kept", 4, 0), 0);
         return path;
     },
     [](Scene& s, const std::string& t) {
         EXPECT_EQ(readFile(t), s.route.original());
         EXPECT_EQ(attribute(t, "user.pelago"), "kept");
     },
     Need::User},
    // The moment a backup's name is claimed, the name becomes a link to a
    // file of root's: the backup must go to the file it claimed, or fail.
    {"ClaimedNameSwappedForALinkLeavesItsTargetAlone", Expect::Refused, false, false, 0,
     [](Scene& s) {
         std::string victim = s.file("victim.dat", 0644);
         std::string moved = s.h.path("moved");
         s.watch = std::make_unique<TemporaryWatch>(s.h.path(""), [victim, moved](const std::string& opened) {
             if (opened.find("/QE012345-") != std::string::npos && !fs::exists(moved)) {
                 fs::rename(opened, moved);
                 fs::create_symlink(victim, opened);
             }
         });
         return s.h.path("new.dat");
     },
     [](Scene& s, const std::string&) {
         s.watch->stop();
         EXPECT_EQ(readFile(s.h.path("victim.dat")), s.route.original());
         EXPECT_TRUE(fs::exists(s.h.path("moved"))) << "the claim was not seen";
         for (const auto& entry : fs::directory_iterator(s.h.path("")))
             if (entry.is_symlink() || entry.path().filename() == "moved")
                 fs::remove(entry.path());  // the intruder's, not the save's
     },
     Need::Fanotify},
    {"UsersOwnFileIsReplacedAndStaysItsOwn", Expect::Stored, true, false, 0,
     [](Scene& s) {
         std::string path = s.file("mine.dat", 0600);
         EXPECT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
         return path;
     },
     [](Scene& s, const std::string& t) {
         struct stat st {};
         stat(t.c_str(), &st);
         EXPECT_EQ(st.st_uid, kNobody);
         EXPECT_EQ(st.st_mode & 07777, 0600u);
         EXPECT_EQ(readFile(t), s.route.expected());
     },
     Need::User},
};

// Names and kinds in the scratch directory: nothing may appear or go
// except a file the save creates.
std::map<std::string, mode_t> listing(const std::string& dir)
{
    std::map<std::string, mode_t> entries;
    for (const auto& entry : fs::directory_iterator(dir))
        entries[entry.path().filename().string()] = modeOf(entry.path().string()) & S_IFMT;
    return entries;
}

struct SaveCase {
    const RouteParam* route;
    const SaveRule* rule;
};

std::vector<SaveCase> saveCases()
{
    std::vector<SaveCase> cases;
    for (const RouteParam& route : kRoutes)
        for (const SaveRule& rule : kRules)
            if ((rule.readableTarget || !route.readsTarget) &&
                (route.namesItsFile || std::find(std::begin(kOwnNameRules), std::end(kOwnNameRules), rule.name) ==
                                           std::end(kOwnNameRules)) &&
                (!route.namesItsFile || std::find(std::begin(kNewFileRules), std::end(kNewFileRules), rule.name) !=
                                            std::end(kNewFileRules)))
                cases.push_back({&route, &rule});
    return cases;
}

void PrintTo(const SaveCase& c, std::ostream* os)
{
    *os << c.route->name << " " << c.rule->name;
}

class SaveRules : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SaveRules, Hold)
{
    const SaveRule& rule = *GetParam().rule;
    if (rule.needsRoot && geteuid() != 0)
        GTEST_SKIP() << "the effective UID is not 0 (making a device node needs root)";
    if (std::string why = unmet(rule.need); !why.empty())
        GTEST_SKIP() << why;
    auto launcher = std::make_unique<NativeLauncher>(PELAGO_EXE);
    NativeLauncher& native = *launcher;
    DeviceHarness h(std::move(launcher));
    std::unique_ptr<SaveRoute> route = GetParam().route->make(h);
    Scene scene{h, *route, -1, -1, {}, {}};
    if (rule.need == Need::User) {
        chmod(h.path("").c_str(), 0777);
        route->allowUser();
        route->user = kNobody;
        native.runAs(kNobody);
    }
    std::string target = rule.arrange(scene);
    std::string dir = h.path("");
    std::map<std::string, mode_t> before = listing(dir);

    mode_t umaskBefore = rule.umaskBits >= 0 ? umask(mode_t(rule.umaskBits)) : 0;
    bool stored = route->save(target, rule.writeLimit);
    if (rule.umaskBits >= 0)
        umask(umaskBefore);

    EXPECT_EQ(stored, rule.expect == Expect::Stored);
    rule.check(scene, target);
    std::map<std::string, mode_t> after = listing(dir);
    if (stored && before.count(fs::path(target).filename().string()) == 0 && target.rfind(dir, 0) == 0)
        before[fs::path(target).filename().string()] = S_IFREG;
    EXPECT_EQ(after, before) << "a temporary file was left, or something was replaced";
}

INSTANTIATE_TEST_SUITE_P(Native, SaveRules, ::testing::ValuesIn(saveCases()),
                         [](const ::testing::TestParamInfo<SaveCase>& info) {
                             return info.param.route->name + "_" + info.param.rule->name;
                         });

} // namespace
