// EEPROM emulator: a byte-addressable 1680-byte EEPROM kept in the 16 flash
// rows of the settings area (through the flash model), with a spare row for
// row moves and a master page that marks the area as formatted.
//
// The area's format and the module's state are eeprom_layout.h's. Call
// order: eeprom_emulator_init; if it fails, eeprom_emulator_erase_memory and
// init again; then reads and writes; eeprom_emulator_commit_page_buffer
// after each logical change.
//
// Damaged images are handled conservatively: nothing ever reads or writes
// outside page_map, the emulated EEPROM or the flash image. A row whose
// pages 0 and 1 do not hold two distinct valid logical pages (or the master
// row) is never moved; the write that needs the move fails with
// STATUS_ERR_BAD_FORMAT and the image is left as it was.
#pragma once

#include <cstdint>

#include "eeprom_layout.h"
#include "status_codes.h"

struct eeprom_emulator_parameters {
    uint8_t page_size;
    uint16_t eeprom_number_of_pages;
};

// Reads the geometry, repairs duplicate rows, builds the page map, finds the
// spare row and checks the master page. STATUS_ERR_NO_MEMORY: area too
// small; STATUS_ERR_BAD_FORMAT: no spare row or wrong magic (a blank image
// included); STATUS_ERR_IO: wrong emulator id or version. The geometry
// stays set after a failure so that formatting can follow.
status_code eeprom_emulator_init();

// Formats the area (all data lost) and rebuilds the page map. Needs the
// geometry of an earlier eeprom_emulator_init; does nothing without it.
void eeprom_emulator_erase_memory();

// page_size 60 and the number of logical pages; STATUS_ERR_NOT_INITIALIZED
// before initialisation.
status_code eeprom_emulator_get_parameters(eeprom_emulator_parameters* parameters);

// Stores 60 bytes as the new version of `logical_page`; the page stays in
// the page buffer, uncommitted. STATUS_ERR_NOT_INITIALIZED,
// STATUS_ERR_BAD_ADDRESS (page out of range), STATUS_ERR_BAD_FORMAT (the
// row must move but is damaged).
status_code eeprom_emulator_write_page(uint8_t logical_page, const uint8_t* data);

// Delivers the current 60 bytes of `logical_page`. Failures as for writing,
// but for STATUS_ERR_BAD_FORMAT.
status_code eeprom_emulator_read_page(uint8_t logical_page, uint8_t* data);

// Writes `length` bytes at EEPROM `offset`, each touched logical page once
// in increasing order. STATUS_ERR_BAD_ADDRESS when the range runs past the
// end; the pages before the failing one have been written.
status_code eeprom_emulator_write_buffer(uint16_t offset, const uint8_t* data, uint16_t length);

// Reads `length` bytes from EEPROM `offset`. STATUS_ERR_BAD_ADDRESS when
// the range runs past the end; the bytes before it have been copied.
status_code eeprom_emulator_read_buffer(uint16_t offset, uint8_t* data, uint16_t length);

// Commits the page buffer if it is active; always STATUS_OK.
status_code eeprom_emulator_commit_page_buffer();

// Internal steps, exposed for tests.
bool _eeprom_emulator_is_page_free_on_row(uint8_t start_physical_page, uint8_t* free_physical_page);
status_code _eeprom_emulator_move_data_to_spare(uint8_t row, uint8_t logical_page, const uint8_t* data);
