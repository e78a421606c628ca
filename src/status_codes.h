// Status values shared by the flash model and the EEPROM emulator.
#pragma once

#include <cstdint>

// Codes are grouped by category; a code's category is its value rounded
// down to the category base.
enum status_code : uint32_t {
    STATUS_CATEGORY_OK = 0,
    STATUS_CATEGORY_COMMON = 16,
    STATUS_CATEGORY_ANALOG = 48,
    STATUS_CATEGORY_COM = 64,
    STATUS_CATEGORY_IO = 80,

    STATUS_OK = 0,
    STATUS_BUSY = 5,                   // never returned by the flash model; callers retry
    STATUS_ERR_IO = 16,                // unsupported emulator id or version
    STATUS_ERR_NO_MEMORY = 22,         // EEPROM area too small
    STATUS_ERR_INVALID_ARG = 23,       // length too large
    STATUS_ERR_BAD_ADDRESS = 24,       // misaligned or out-of-range address / page
    STATUS_ERR_BAD_FORMAT = 26,        // no spare row, no valid master page, damaged row
    STATUS_ERR_NOT_INITIALIZED = 31,   // emulator used before a successful init
};
