// In-memory model of the adapter's settings flash.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kFlashImageSize = 8192;

// The flash image, defined beside the driver; filled with 0xFF (erased)
// once the command line has been parsed.
extern uint8_t g_eeprom[kFlashImageSize];
// Set by every change of g_eeprom; never cleared.
extern uint8_t eeprom_dirty;
