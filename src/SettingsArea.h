// The adapter's settings area and its one read-out, shared by the blocks
// that save it (-s), back it up before an erase, and verify a write.
#pragma once

#include <cstdint>

#include "SambaXcon.h"

constexpr uint32_t kSettingsAreaAddr = 0x0001F000; // start of the settings area
constexpr uint32_t kSettingsAreaSize = 0x00001000; // the emulated EEPROM, bytes

// Reads the whole settings area (1024 word reads) into `image`, its
// progress drawn on a terminal and silent elsewhere. Throws SambaError as
// the reads do.
void readSettingsArea(Samba& samba, uint8_t (&image)[kSettingsAreaSize]);
