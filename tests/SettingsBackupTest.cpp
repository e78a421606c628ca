// Where a settings backup goes and what it is called.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <ctime>
#include <string>
#include <vector>

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
