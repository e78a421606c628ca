#include "BackupChoice.h"

#include <algorithm>
#include <vector>

#include "PrivateDirectory.h"
#include "SettingsArea.h"
#include "SettingsFile.h"

namespace {

constexpr uint8_t kErasedByte = 0xFF;

// A backup in the directory, with its name taken apart for sorting.
struct Candidate {
    std::string name;
    std::time_t made;
    unsigned long counter;
};

} // namespace

std::string restorableBackup(const SettingsBackupMade& made)
{
    if (made.path.empty() || isSettingsImage(made.area.data()))
        return made.path;
    // A copy of a broken area restores nothing.
    return newestSettingsBackup(settingsBackupDir(), made.serial);
}

std::string newestSettingsBackup(const std::string& dir, const std::string& serial, std::time_t now)
{
    const std::string serialWord = settingsBackupSerial(serial);
    PrivateDirectory held;
    std::string unsafe;
    if (serialWord == kUnknownBackupSerial || dir.empty() || !held.open(dir, false, &unsafe))
        return "";
    std::vector<Candidate> found;
    for (const std::string& name : held.names()) {
        SettingsBackupName parsed;
        std::time_t made = 0;
        if (parseSettingsBackupName(name, parsed) && parsed.serial == serialWord &&
            settingsBackupInstant(parsed, made) && made <= now + kBackupClockSlack)
            found.push_back({name, made, parsed.counter});
    }
    std::sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) {
        return a.made != b.made ? a.made > b.made : a.counter > b.counter;
    });
    uint8_t image[kSettingsAreaSize];
    for (const Candidate& candidate : found)
        if (held.readExact(candidate.name, image, sizeof image) && isSettingsImage(image))
            return settingsBackupPath(dir, candidate.name);
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

void reportBackupRead(const SettingsBackupMade& made, bool untilRunEnds)
{
    WayBack way;
    if (made.area.size() != kSettingsAreaSize ||
        !settingsAreaWayBack(made.area.data(), adapterPort(), [&] { return made.serial; }, way))
        return;
    if (untilRunEnds)
        holdWayBack(way);
    else
        offerWayBack(way);
}
