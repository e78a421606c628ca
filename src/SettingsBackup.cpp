#include "SettingsBackup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "ActionBlock.h"
#include "AdapterInfo.h"
#include "FailureLine.h"
#include "Printable.h"
#include "PrivateDirectory.h"
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

constexpr const char* kExtension = ".dat";
constexpr size_t kStampSize = sizeof "-YYYYMMDD-HHMMSSZ";
constexpr char kUtcMark = 'Z';
constexpr size_t kDateDigits = 8;        // YYYYMMDD
constexpr size_t kTimeDigits = 6;        // HHMMSS
constexpr size_t kMaxCounterDigits = 9;  // fits an unsigned long anywhere
constexpr int kNameTries = 1000;
constexpr long long kSecondsPerDay = 86400;

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

// Whether `text` is only ASCII digits, from `least` to `most` of them.
bool _allDigits(const std::string& text, size_t least, size_t most)
{
    return text.size() >= least && text.size() <= most &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
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

// The name of the n-th try for `stem`: STEM.dat, STEM-1.dat, ...
std::string _nameFor(const std::string& stem, unsigned long n)
{
    return (n == 0 ? stem : stem + "-" + std::to_string(n)) + kExtension;
}

bool _isLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int _daysInMonth(int year, int month)
{
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && _isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given date of the Gregorian calendar
// (timegm is no standard function, and mktime works in local time).
long long _daysSinceEpoch(int year, int month, int day)
{
    const int shifted = month <= 2 ? year - 1 : year;  // years counted from March
    const long long era = (shifted >= 0 ? shifted : shifted - 399) / 400;
    const long long yearOfEra = shifted - era * 400;
    const long long dayOfYear = (153LL * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// Stores `size` bytes of `data` under the first free name for `stem` in
// `dir`, claimed exclusively, so two runs never share one. The name; or ""
// with `tried` naming the path that failed and `reason` saying why.
std::string _saveUnderFreeName(PrivateDirectory& dir, const std::string& dirPath, const std::string& stem,
                               const uint8_t* data, size_t size, std::string& tried, std::string& reason)
{
    tried = _join(dirPath, _nameFor(stem, 0));
    reason = "every name is taken";
    for (int n = 0; n < kNameTries; ++n) {
        std::string name = _nameFor(stem, n);
        NewFileResult result = dir.saveNew(name, data, size, &reason);
        if (result == NewFileResult::Saved)
            return name;
        if (result == NewFileResult::Failed) {
            tried = _join(dirPath, name);
            return "";
        }
    }
    return "";
}

bool _fail(const std::string& path, const std::string& reason)
{
    printFailure(stdout, "Failed to back up adapter setting to %s, abort\n", printable(path).c_str());
    printSaveFailureReason(reason);
    return false;
}

} // namespace

std::string settingsBackupPath(const std::string& dir, const std::string& name)
{
    return _join(dir, name);
}

std::string claimBackupPath(const std::string& dir, const std::string& stem, std::string& tried,
                            std::string& reason)
{
    PrivateDirectory held;
    tried = dir;
    if (!held.open(dir, false, &reason))
        return "";
    std::string name = _saveUnderFreeName(held, dir, stem, nullptr, 0, tried, reason);
    return name.empty() ? "" : _join(dir, name);
}

bool backupDirIsSafe(const std::string& dir, std::string* reason)
{
    PrivateDirectory held;
    return held.open(dir, false, reason);
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
    return anyKept ? stem : kUnknownBackupSerial;
}

std::string settingsBackupStem(const std::string& serial, std::time_t when)
{
    std::string stem = settingsBackupSerial(serial);

    // UTC: backups made in two time zones, or across a change of daylight
    // saving time, still sort by when they were made.
    char stamp[kStampSize] = "";
    const std::tm* utc = std::gmtime(&when);
    if (utc == nullptr || std::strftime(stamp, sizeof stamp, "-%Y%m%d-%H%M%SZ", utc) == 0)
        stamp[0] = '\0';
    return stem + stamp;
}

bool parseSettingsBackupName(const std::string& name, SettingsBackupName& parsed)
{
    const std::string extension = kExtension;
    if (name.size() <= extension.size() ||
        name.compare(name.size() - extension.size(), extension.size(), extension) != 0)
        return false;
    // A serial number as names write it holds no '-', so the dashes part the words.
    std::vector<std::string> words;
    std::string rest = name.substr(0, name.size() - extension.size());
    for (size_t dash; (dash = rest.find('-')) != std::string::npos; rest.erase(0, dash + 1))
        words.push_back(rest.substr(0, dash));
    words.push_back(rest);
    const bool counted = words.size() == 4;
    if ((words.size() != 3 && !counted) || words[0].empty() ||
        !std::all_of(words[0].begin(), words[0].end(), [](char c) { return _isAsciiAlnum(c) || c == '_'; }) ||
        !_allDigits(words[1], kDateDigits, kDateDigits))
        return false;
    const bool utc = !words[2].empty() && words[2].back() == kUtcMark;
    if (utc)
        words[2].pop_back();
    if (!_allDigits(words[2], kTimeDigits, kTimeDigits) || (counted && !_allDigits(words[3], 1, kMaxCounterDigits)))
        return false;
    parsed.serial = words[0];
    parsed.stamp = words[1] + words[2];
    parsed.utc = utc;
    parsed.counter = counted ? std::stoul(words[3]) : 0;
    return true;
}

std::string settingsBackupFileName(const SettingsBackupName& name)
{
    const std::string stem = name.serial + "-" + name.stamp.substr(0, kDateDigits) + "-" + name.stamp.substr(kDateDigits) +
                       (name.utc ? std::string(1, kUtcMark) : "");
    return _nameFor(stem, name.counter);
}

bool settingsBackupInstant(const SettingsBackupName& name, std::time_t& when)
{
    if (!_allDigits(name.stamp, kDateDigits + kTimeDigits, kDateDigits + kTimeDigits))
        return false;
    int field[6];  // year, month, day, hour, minute, second
    for (int i = 0; i < 6; ++i)
        field[i] = std::stoi(name.stamp.substr(i == 0 ? 0 : 2 + 2 * size_t(i), i == 0 ? 4 : 2));
    const int year = field[0], month = field[1], day = field[2];
    if (month < 1 || month > 12 || day < 1 || day > _daysInMonth(year, month) || field[3] > 23 || field[4] > 59 ||
        field[5] > 60)
        return false;
    if (name.utc) {
        when = std::time_t(_daysSinceEpoch(year, month, day) * kSecondsPerDay + field[3] * 3600LL +
                           field[4] * 60LL + field[5]);
        return true;
    }
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = field[3];
    local.tm_min = field[4];
    local.tm_sec = field[5];
    local.tm_isdst = -1;  // whatever the zone's rules say for that day
    when = std::mktime(&local);
    return when != std::time_t(-1);
}

bool backupSettings(Samba& samba, SettingsBackupMade& made)
{
    made = {};
    if (_variable(kNoBackupVariable) == "1")
        return true;

    std::string dir = settingsBackupDir();
    std::string reason;
    if (dir.empty() && std::getenv(kBackupDirVariable) != nullptr)
        return _fail(std::string("(empty ") + kBackupDirVariable + ")", std::string(kBackupDirVariable) + " is empty");
    if (dir.empty())
        return _fail(_unresolvedDir(), std::string(kHomeVariable) + " is not set or not an absolute path");
    PrivateDirectory held;
    if (!held.open(dir, true, &reason))
        return _fail(dir, reason);

    std::string serial = adapterSerialNumber(samba);
    uint8_t image[kSettingsAreaSize];
    readSettingsArea(samba, image);

    std::string tried;
    std::string name = _saveUnderFreeName(held, dir, settingsBackupStem(serial, std::time(nullptr)), image,
                                          sizeof image, tried, reason);
    if (name.empty())
        return _fail(tried, reason);
    std::string path = _join(dir, name);
    if (g_keeper && !g_keeper(path, image, sizeof image, &reason)) {
        held.remove(name);  // not a backup the user can rely on
        return _fail(path, reason);
    }
    std::printf("Adapter setting backed up to %s\n", printable(path).c_str());
    made.path = path;
    made.serial = serial;
    made.area.assign(image, image + sizeof image);
    return true;
}
