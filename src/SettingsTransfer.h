// The settings blocks of the device road: write a settings file into the
// adapter's settings area (-u), save the area into a file (-s), and clear
// and re-format it with the built-in image (no option).
#pragma once

#include <cstdint>

#include "ActionBlock.h"
#include "FirmwareUpdate.h"
#include "SambaXcon.h"

// Writes the first 4096 bytes of `file` into the settings area. Aborts,
// with nothing erased, when the file cannot be opened or is shorter.
BlockResult settingsWrite(Samba& samba, const char* file);

// Saves the 4096 bytes of the settings area into `file` by safeSave, so an
// existing `file` survives every failure. Aborts when it cannot be stored,
// with the reason on stderr.
BlockResult settingsSave(Samba& samba, const char* file);

// Reads the whole settings area (1024 word reads) into `image`, its
// progress drawn on a terminal and silent elsewhere. Throws SambaError as
// the reads do.
void readSettingsArea(Samba& samba, uint8_t (&image)[kSettingsAreaSize]);

// Asks on the console how often the settings were reset, then erases the
// settings area and writes the built-in image. Aborts on a non-number.
BlockResult settingsClear(Samba& samba);
