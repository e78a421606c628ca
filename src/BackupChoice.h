// Which stored backup puts an adapter's settings back, and the line that
// names it when a read of the settings area finds no valid settings.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "Interrupt.h"
#include "SettingsBackup.h"

// How far ahead of the clock a backup's stamp may be and still count as
// made: clocks disagree, but a backup dated days ahead was made on a clock
// set wrong, or by someone else, and must not pass for the latest.
constexpr std::time_t kBackupClockSlack = 24 * 60 * 60;

// The path of the newest backup of the adapter with serial number `serial`
// in `dir`: among the names parseSettingsBackupName takes (SERIAL as
// settingsBackupSerial writes it), the latest instant no more than
// kBackupClockSlack after `now`, then the highest N, whose file
// PrivateDirectory::readExact reads as kSettingsAreaSize bytes -u would
// accept (isSettingsImage). "" when there is none, when `serial` has no
// letter or digit (the backups of every such adapter share one SERIAL, so
// none is surely this one's), or `dir` is empty or fails backupDirIsSafe
// (another user may change it).
std::string newestSettingsBackup(const std::string& dir, const std::string& serial,
                                 std::time_t now = std::time(nullptr));

// The file that puts back the settings the backup `made` was taken of:
// made.path itself when its area held settings; when it held none, the
// newest backup of the same adapter in the backup directory
// (settingsBackupDir), or "" when there is none. "" when backups are off.
std::string restorableBackup(const SettingsBackupMade& made);

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

// The same for the area a backup read (nothing when backups are off). A
// block about to write settings into the area holds the line instead
// (`untilRunEnds`, holdWayBack): the write puts the area right or names
// its own way back.
void reportBackupRead(const SettingsBackupMade& made, bool untilRunEnds);
