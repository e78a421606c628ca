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

constexpr uint8_t kErasedByte = 0xFF;

// A backup in the directory, with its name taken apart for sorting.
struct Candidate {
    SettingsBackupName name;
    std::filesystem::path path;
};

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
    const std::string serialWord = settingsBackupSerial(serial);
    std::vector<Candidate> found;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        Candidate candidate{{}, it->path()};
        if (parseSettingsBackupName(it->path().filename().string(), candidate.name) &&
            candidate.name.serial == serialWord)
            found.push_back(candidate);
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        return a.name.stamp != b.name.stamp ? a.name.stamp > b.name.stamp : a.name.counter > b.name.counter;
    });
    for (const Candidate& candidate : found)
        if (_acceptable(candidate.path))
            return candidate.path.string();
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
