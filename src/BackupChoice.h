// Which stored backup puts an adapter's settings back, and the line that
// names it when a read of the settings area finds no valid settings.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "Interrupt.h"

// The path of the newest backup of the adapter with serial number `serial`
// in `dir`: among the names SERIAL-YYYYMMDD-HHMMSS.dat and
// SERIAL-YYYYMMDD-HHMMSS-N.dat (SERIAL as settingsBackupSerial writes it),
// the latest stamp, then the highest N, whose first 4096 bytes -u would
// accept (isSettingsImage). "" when there is none, or `dir` is empty or
// fails backupDirIsSafe (another user may change it).
std::string newestSettingsBackup(const std::string& dir, const std::string& serial);

// The file that puts back the settings the backup `made` was taken of:
// `made` itself when -u would accept it; when it copied an area that held
// no settings, the newest backup of the adapter whose serial number was read
// last (lastAdapterSerialNumber), or "" when there is none. "" when `made`
// is "" (backups off).
std::string restorableBackup(const std::string& made);

// When the kSettingsAreaSize bytes of `area`, just read from the adapter on
// `port`, are no settings image: true, with `way` naming the newest backup
// in the backup directory (settingsBackupDir) of the adapter whose serial
// number `serial` returns (called only then), or no file when there is
// none. False, `serial` not called, for a valid area.
bool settingsAreaWayBack(const uint8_t* area, const std::string& port, const std::function<std::string()>& serial,
                         WayBack& way);

// settingsAreaWayBack for the run's port; prints the way back (offerWayBack)
// when the area is not valid.
void reportSettingsAreaRead(const uint8_t* area, const std::function<std::string()>& serial);
