// The firmware block (-f) of the device road: check the file against the
// adapter, erase, write block by block, verify, reset.
#pragma once

#include <cstdint>

#include "ActionBlock.h"
#include "FirmwareCheck.h"
#include "SambaXcon.h"
#include "SettingsArea.h"

constexpr uint32_t kMonitorRamAddr = 0x20000000;   // staging buffer for one block
constexpr uint32_t kBlockSize = 64;                // bytes per staged block

// Settings-handling byte of a firmware file.
constexpr uint8_t kHandleKeepSettings = 0;  // erase the application area only
constexpr uint8_t kHandleEraseSettings = 1; // also erase the settings area, leaving it blank
constexpr uint8_t kHandleWriteSettings = 2; // also write 4096 bytes following the payload

// Whether a file with settings-handling byte `handle` has the settings area
// erased: every value but kHandleKeepSettings. The one test for the backup,
// the erase and the settings' way back, so the three never disagree.
constexpr bool firmwareErasesSettings(uint8_t handle)
{
    return handle != kHandleKeepSettings;
}

// Whether a file with signature word `sigs` may go into a board whose type
// letter is `boardLetter` ('E', 'C', or 0xFF for a blank board).
bool firmwareTypeMatches(uint8_t boardLetter, uint32_t sigs);

// Whether one of the eight entries accepts PCB version `hwver`: an equal
// entry, or one with low byte 0xFF and the same high byte.
bool firmwarePcbMatches(uint16_t hwver, const uint16_t (&entries)[8]);

// Runs the whole firmware update of `file`; `force` skips only the test of
// the installed firmware's type. A file whose settings-handling byte erases
// the settings area has the area backed up first (SettingsBackup.h).
// Aborts, with nothing erased, on any refusal of the adapter or the file or
// a failed backup (on an adapter with no firmware, the refusal of its type
// offers -I); aborts after the reset when verification fails, its way back
// printed (reportFailedWrite). Monitor failures propagate as SambaError,
// the adapter state (Interrupt.h) saying what they may have left.
BlockResult firmwareUpdate(Samba& samba, const char* file, bool force);
