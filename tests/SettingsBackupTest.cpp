// Where a settings backup goes and what it is called.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BackupChoice.h"
#include "EEPROM_Init.h"
#include "SettingsBackup.h"
#include "Subprocess.h"

namespace {

// Sets or (for nullptr) unsets a variable until it goes out of scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : _name(name)
    {
        if (const char* old = std::getenv(name)) {
            _old = old;
            _had = true;
        }
        set(value);
    }
    ~ScopedVariable() { set(_had ? _old.c_str() : nullptr); }

private:
    void set(const char* value)
    {
        if (value != nullptr)
            setenv(_name, value, 1);
        else
            unsetenv(_name);
    }

    const char* _name;
    std::string _old;
    bool _had = false;
};

// A zone five hours behind UTC for as long as it lives, so that local time
// and UTC differ in every run.
class FiveHoursBehind {
public:
    FiveHoursBehind() { tzset(); }
    ~FiveHoursBehind() { tzset(); }

private:
    ScopedVariable _zone{"TZ", "EST5"};
};

constexpr std::time_t kMarch9At070504Utc = 1773039904;
constexpr std::time_t kStartOf2029Utc = 1861920000;

} // namespace

TEST(SettingsBackupName, SerialBytesOtherThanLettersAndDigitsBecomeUnderscores)
{
    FiveHoursBehind zone;
    const std::time_t when = kMarch9At070504Utc;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"QE012345", "QE012345"},
        {"QE 01/4", "QE_01_4"},
        {"\xFF" "a\xE9" "b", "_a_b"},     // bytes past ASCII are no letters
        {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "unknown"},  // a blank adapter
        {"-_.", "unknown"},
        {"", "unknown"},
    };
    for (const auto& [serial, stem] : cases)
        EXPECT_EQ(settingsBackupStem(serial, when), stem + "-20260309-070504Z") << serial;
}

TEST(SettingsBackupDir, VariableThenStateHomeThenHome)
{
    struct Case {
        const char* chosen;
        const char* state;
        const char* home;
        std::string dir;
    };
    const std::vector<Case> cases = {
        {"/b", "/s", "/h", "/b"},
        {"", "/s", "/h", ""},  // set, though empty: refused, not taken for unset
        {nullptr, "/s", "/h", "/s/pelagoxcon/backups"},
        {nullptr, "relative", "/h", "/h/.local/state/pelagoxcon/backups"},
        {nullptr, nullptr, "relative/h", ""},  // would land wherever the tool ran
        {nullptr, "relative", "", ""},
        {nullptr, "", "/h", "/h/.local/state/pelagoxcon/backups"},
        {nullptr, nullptr, nullptr, ""},
        {"rel/b", nullptr, nullptr, "rel/b"},
    };
    for (const Case& c : cases) {
        ScopedVariable chosen(kBackupDirVariable, c.chosen);
        ScopedVariable state("XDG_STATE_HOME", c.state);
        ScopedVariable home("HOME", c.home);
        EXPECT_EQ(settingsBackupDir(), c.dir) << c.dir;
    }
}

// A directory other users cannot change is fit for backups, a sticky one
// included (as /tmp); nothing is made by asking.
TEST(SettingsBackupDir, SafeOnlyWhenNoOtherUserMayChangeIt)
{
    char pattern[] = "/tmp/pelago-backupdir-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string scratch = pattern;
    const std::string self = std::to_string(geteuid());
    const struct {
        const char* name;
        mode_t mode;  // 0: not made
        std::string reason;
    } cases[] = {
        {"private", 0700, ""},
        {"sticky", 01777, ""},
        {"readable", 0755, ""},
        {"group", 0770, scratch + "/group may be changed by another user (owner " + self + ", mode 0770)"},
        {"world", 0703, scratch + "/world may be changed by another user (owner " + self + ", mode 0703)"},
        {"missing", 0, "No such file or directory"},
    };
    for (const auto& c : cases) {
        std::string dir = scratch + "/" + c.name;
        if (c.mode != 0) {
            mkdir(dir.c_str(), 0700);
            chmod(dir.c_str(), c.mode);
        }
        std::string reason;
        EXPECT_EQ(backupDirIsSafe(dir, &reason), c.reason.empty()) << c.name;
        EXPECT_EQ(reason, c.reason);
        EXPECT_EQ(access(dir.c_str(), F_OK) == 0, c.mode != 0) << c.name;
    }
    std::filesystem::remove_all(scratch);
}

// The one reading of backup names the console and the page share.
TEST(SettingsBackupName, TakesApartOnlyTheNamesBackupsGet)
{
    const struct {
        const char* name;
        bool parsed;
        const char* serial;
        const char* stamp;
        unsigned long counter;
        bool utc = false;
    } cases[] = {
        {"QE012345-20261207-101010.dat", true, "QE012345", "20261207101010", 0},
        {"unknown-20261207-101010-999999999.dat", true, "unknown", "20261207101010", 999999999},
        {"QE012345-20261208-220922Z.dat", true, "QE012345", "20261208220922", 0, true},
        {"QE012345-20261208-220922Z-12.dat", true, "QE012345", "20261208220922", 12, true},
        {"QE012345-20261208-220922z.dat", false, "", "", 0},
        {"QE012345-20261208-22092Z.dat", false, "", "", 0},
        {"QE012345-20261208-220922ZZ.dat", false, "", "", 0},
        {"Q-E-20261207-101010.dat", false, "", "", 0},  // a dash in the serial number
        {"QE 12-20261207-101010.dat", false, "", "", 0},
        {"-20261207-101010.dat", false, "", "", 0},
        {"QE012345-20261207-101010-1234567890.dat", false, "", "", 0},  // no unsigned long on Windows
        {"QE012345-2026120-101010.dat", false, "", "", 0},
        {"QE012345-20261207-101010.DAT", false, "", "", 0},
        {".dat", false, "", "", 0},
    };
    for (const auto& c : cases) {
        SettingsBackupName parsed;
        EXPECT_EQ(parseSettingsBackupName(c.name, parsed), c.parsed) << c.name;
        if (c.parsed) {
            EXPECT_EQ(parsed.serial, c.serial) << c.name;
            EXPECT_EQ(parsed.stamp, c.stamp) << c.name;
            EXPECT_EQ(parsed.counter, c.counter) << c.name;
            EXPECT_EQ(parsed.utc, c.utc) << c.name;
            EXPECT_EQ(settingsBackupFileName(parsed), c.name);  // the page's next name is made from it
        }
    }
}

namespace {

enum class Owner { Runner, Root, Other };
enum class Kind { File, Fifo, LinkToGood };

struct Stored {
    std::string name;
    std::string contents;
    Owner owner = Owner::Runner;
    Kind kind = Kind::File;
};

constexpr uid_t kNobody = 65534;
constexpr uid_t kSomeoneElse = 65533;

// newestSettingsBackup run as user `uid` in a child (-1: as this process),
// bounded in time: nothing in the directory may hold the choice up.
std::string chooseAs(long uid, const std::string& dir, std::time_t now)
{
    ChildOutcome chosen = runInChild(uid, 20, [&](std::string& path) {
        path = newestSettingsBackup(dir, "QE012345", now);
        return true;
    });
    return chosen.ok ? chosen.text : "(the choice failed: " + std::to_string(chosen.status) + ")";
}

} // namespace

// The newest backup this adapter's -u accepts: latest instant, then highest
// counter; never another adapter's, a broken copy, or an odd name. In a
// shared sticky directory such as /tmp (and as an ordinary user where root
// can make one), only the runner's and root's regular files count.
TEST(SettingsBackupChoice, NewestAcceptableBackupOfThisAdapter)
{
    namespace fs = std::filesystem;
    FiveHoursBehind zone;
    char pattern[] = "/tmp/pelago-choice-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    chmod(dir.c_str(), 01777);
    const bool root = geteuid() == 0;
    const long runner = root ? long(kNobody) : -1;
    const std::string good(reinterpret_cast<const char*>(g_myData), 4096);
    const std::string broken(4096, '\0');
    const struct {
        const char* what;
        std::vector<Stored> files;
        std::string chosen;
        bool needsRoot = false;
    } cases[] = {
        {"none", {}, ""},
        {"the counter decides within a second",
         {{"QE012345-20260101-101010.dat", good}, {"QE012345-20260101-101010-2.dat", good},
          {"QE012345-20260101-101010-10.dat", good}},
         "QE012345-20260101-101010-10.dat"},
        {"a newer broken copy or short file is passed over",
         {{"QE012345-20250101-000000.dat", good}, {"QE012345-20270101-000000.dat", broken},
          {"QE012345-20270101-000000-1.dat", good.substr(0, 4095)}},
         "QE012345-20250101-000000.dat"},
        {"other adapters and other names are not this adapter's",
         {{"QE012345-20250101-000000.dat", good}, {"QE0123456-20280101-000000.dat", good},
          {"QE012345-20280101-000000.dat.tmp", good}, {"QE012345-2028-01-01.dat", good},
          {"QE012345-20280101-000000-.dat", good}, {"QE012345-20280101-000000-1234567890.dat", good}},
         "QE012345-20250101-000000.dat"},
        // Noon here is 17:00 UTC, later than 16:00Z though its digits are smaller.
        {"instants, not digits: a name without Z is local time",
         {{"QE012345-20260101-120000.dat", good}, {"QE012345-20260101-160000Z.dat", good}},
         "QE012345-20260101-120000.dat"},
        {"a day ahead of the clock still counts",
         {{"QE012345-20250101-000000Z.dat", good}, {"QE012345-20290102-000000Z.dat", good}},
         "QE012345-20290102-000000Z.dat"},
        {"more than a day ahead never does",
         {{"QE012345-20250101-000000Z.dat", good}, {"QE012345-20290102-000001Z.dat", good},
          {"QE012345-20991231-235959.dat", good}},
         "QE012345-20250101-000000Z.dat"},
        {"a FIFO, a link or a longer file under a newer name is passed over",
         {{"QE012345-20250101-000000Z.dat", good}, {"QE012345-20270101-000000Z.dat", "", Owner::Runner, Kind::Fifo},
          {"QE012345-20270101-000000Z-1.dat", "", Owner::Runner, Kind::LinkToGood},
          {"QE012345-20270101-000000Z-2.dat", good + "x"}},
         "QE012345-20250101-000000Z.dat"},
        {"another user's backup is none of this user's",
         {{"QE012345-20250101-000000Z.dat", good}, {"QE012345-20280101-000000Z.dat", good, Owner::Other}},
         "QE012345-20250101-000000Z.dat", true},
        {"root's backup is",
         {{"QE012345-20250101-000000Z.dat", good}, {"QE012345-20280101-000000Z.dat", good, Owner::Root}},
         "QE012345-20280101-000000Z.dat", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && !root)
            continue;  // only root gives files away
        for (const auto& entry : fs::directory_iterator(dir))
            fs::remove(entry.path());
        for (const Stored& file : c.files) {
            const std::string path = dir + "/" + file.name;
            if (file.kind == Kind::Fifo)
                ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
            else if (file.kind == Kind::LinkToGood)
                fs::create_symlink("QE012345-20250101-000000Z.dat", path);
            else
                std::ofstream(path, std::ios::binary) << file.contents;
            const long owner = file.owner == Owner::Root ? 0 : file.owner == Owner::Other ? long(kSomeoneElse) : runner;
            if (root && owner >= 0) {
                ASSERT_EQ(lchown(path.c_str(), uid_t(owner), gid_t(owner)), 0);
            }
        }
        EXPECT_EQ(chooseAs(runner, dir, kStartOf2029Utc), c.chosen.empty() ? "" : dir + "/" + c.chosen);
    }
    // A directory another user may change holds no backup worth naming.
    chmod(dir.c_str(), 0777);
    std::ofstream(dir + "/QE012345-20290101-000000.dat", std::ios::binary) << good;
    EXPECT_EQ(newestSettingsBackup(dir, "QE012345"), "");
    fs::remove_all(dir);
}
