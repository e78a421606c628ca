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

std::time_t localTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

} // namespace

TEST(SettingsBackupName, SerialBytesOtherThanLettersAndDigitsBecomeUnderscores)
{
    const std::time_t when = localTime(2026, 3, 9, 7, 5, 4);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"QE012345", "QE012345"},
        {"QE 01/4", "QE_01_4"},
        {"\xFF" "a\xE9" "b", "_a_b"},     // bytes past ASCII are no letters
        {"\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", "unknown"},  // a blank adapter
        {"-_.", "unknown"},
        {"", "unknown"},
    };
    for (const auto& [serial, stem] : cases)
        EXPECT_EQ(settingsBackupStem(serial, when), stem + "-20260309-070504") << serial;
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
    } cases[] = {
        {"QE012345-20261207-101010.dat", true, "QE012345", "20261207101010", 0},
        {"unknown-20261207-101010-999999999.dat", true, "unknown", "20261207101010", 999999999},
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
        }
    }
}

// The newest backup this adapter's -u accepts: latest stamp, then highest
// counter; never another adapter's, a broken copy, or an odd name.
TEST(SettingsBackupChoice, NewestAcceptableBackupOfThisAdapter)
{
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/pelago-choice-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string good(reinterpret_cast<const char*>(g_myData), 4096);
    const std::string broken(4096, '\0');
    const struct {
        const char* what;
        std::vector<std::pair<std::string, std::string>> files;  // name, contents
        std::string chosen;
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
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& entry : fs::directory_iterator(dir))
            fs::remove(entry.path());
        for (const auto& file : c.files)
            std::ofstream(dir + "/" + file.first, std::ios::binary) << file.second;
        EXPECT_EQ(newestSettingsBackup(dir, "QE012345"), c.chosen.empty() ? "" : dir + "/" + c.chosen);
    }
    // A directory another user may change holds no backup worth naming.
    chmod(dir.c_str(), 0777);
    std::ofstream(dir + "/QE012345-20290101-000000.dat", std::ios::binary) << good;
    EXPECT_EQ(newestSettingsBackup(dir, "QE012345"), "");
    fs::remove_all(dir);
}
