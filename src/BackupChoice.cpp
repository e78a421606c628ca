#include "BackupChoice.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "ActionBlock.h"
#include "AdapterInfo.h"
#include "SettingsArea.h"
#include "SettingsBackup.h"
#include "SettingsFile.h"

namespace {

constexpr const char* kExtension = ".dat";
constexpr size_t kDateDigits = 8;  // YYYYMMDD
constexpr size_t kTimeDigits = 6;  // HHMMSS
constexpr size_t kMaxCounterDigits = 9;  // fits an unsigned long anywhere
constexpr uint8_t kErasedByte = 0xFF;

// A backup name's sort key: its stamp, then its counter (0 without one).
struct BackupName {
    std::string stamp;
    unsigned long counter = 0;
    std::filesystem::path path;
};

bool _digitsAt(const std::string& text, size_t pos, size_t count)
{
    if (pos + count > text.size())
        return false;
    return std::all_of(text.begin() + pos, text.begin() + pos + count, [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `name` is SERIAL-YYYYMMDD-HHMMSS[-N].dat; fills `parsed` then.
bool _parseName(const std::string& name, const std::string& serial, BackupName& parsed)
{
    const std::string ext = kExtension;
    if (name.size() <= serial.size() + ext.size() || name.compare(0, serial.size(), serial) != 0 ||
        name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
        return false;
    std::string rest = name.substr(serial.size(), name.size() - serial.size() - ext.size());
    const size_t stampSize = 1 + kDateDigits + 1 + kTimeDigits;
    if (rest.size() < stampSize || rest[0] != '-' || !_digitsAt(rest, 1, kDateDigits) ||
        rest[1 + kDateDigits] != '-' || !_digitsAt(rest, 2 + kDateDigits, kTimeDigits))
        return false;
    parsed.stamp = rest.substr(1, stampSize - 1);
    parsed.counter = 0;
    if (rest.size() == stampSize)
        return true;
    size_t digits = rest.size() - stampSize - 1;
    if (rest[stampSize] != '-' || digits == 0 || digits > kMaxCounterDigits || !_digitsAt(rest, stampSize + 1, digits))
        return false;
    parsed.counter = std::stoul(rest.substr(stampSize + 1));
    return true;
}

// Whether -u would accept the file at `path`.
bool _acceptable(const std::filesystem::path& path)
{
    FilePtr in(std::fopen(path.string().c_str(), "rb"));
    uint8_t image[kSettingsFileSize];
    return in && std::fread(image, 1, sizeof image, in.get()) == sizeof image && isSettingsImage(image);
}

} // namespace

std::string restorableBackup(const std::string& made)
{
    if (made.empty() || _acceptable(made))
        return made;
    // A copy of a broken area restores nothing.
    return newestSettingsBackup(settingsBackupDir(), lastAdapterSerialNumber());
}

std::string newestSettingsBackup(const std::string& dir, const std::string& serial)
{
    std::string unsafe;
    if (dir.empty() || !backupDirIsSafe(dir, &unsafe))
        return "";
    const std::string prefix = settingsBackupSerial(serial);
    std::vector<BackupName> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        BackupName parsed;
        if (_parseName(it->path().filename().string(), prefix, parsed)) {
            parsed.path = it->path();
            names.push_back(parsed);
        }
    }
    std::sort(names.begin(), names.end(), [](const BackupName& a, const BackupName& b) {
        return a.stamp != b.stamp ? a.stamp > b.stamp : a.counter > b.counter;
    });
    for (const BackupName& name : names)
        if (_acceptable(name.path))
            return name.path.string();
    return "";
}

bool settingsAreaWayBack(const uint8_t* area, const std::string& port, const std::function<std::string()>& serial,
                         WayBack& way)
{
    if (isSettingsImage(area))
        return false;
    bool blank = std::all_of(area, area + kSettingsAreaSize, [](uint8_t b) { return b == kErasedByte; });
    way = {blank ? WayBackKind::SettingsBlank : WayBackKind::SettingsInvalid, port,
           newestSettingsBackup(settingsBackupDir(), serial())};
    return true;
}

void reportSettingsAreaRead(const uint8_t* area, const std::function<std::string()>& serial)
{
    WayBack way;
    if (settingsAreaWayBack(area, adapterPort(), serial, way))
        offerWayBack(way);
}
