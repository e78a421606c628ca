// The settings blocks of the device road: write a settings file into the
// adapter's settings area (-u), save the area into a file (-s), and clear
// and re-format it with the built-in image (no option).
#pragma once

#include <cstdint>

#include "ActionBlock.h"
#include "FirmwareUpdate.h"
#include "SambaXcon.h"

// Writes the first 4096 bytes of `file` into the settings area, after a
// backup of the area (SettingsBackup.h), then reads the area back. Aborts,
// with nothing erased, when the file cannot be opened, is shorter, is not
// an adapter setting file (isSettingsImage) or the backup fails; aborts
// after writing when the area read back differs, its way back printed.
BlockResult settingsWrite(Samba& samba, const char* file);

// Saves the 4096 bytes of the settings area into `file` by safeSave, so an
// existing `file` survives every failure. Aborts when it cannot be stored,
// with the reason on stderr; a file safeSaveCheck refuses before the area
// is read. An area that holds no settings is saved all the same, its way
// back on stderr (reportSettingsAreaRead).
BlockResult settingsSave(Samba& samba, const char* file);

// Asks on the console how often the settings were reset, backs the area
// up, then erases it and writes the built-in image. Aborts, with nothing
// erased, on a non-number or a failed backup.
BlockResult settingsClear(Samba& samba);
