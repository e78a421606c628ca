// EEPROM emulator: a byte-addressable 1680-byte EEPROM kept in the 16 flash
// rows of the settings area (through the flash model), with a spare row for
// row moves and a master page that marks the area as formatted.
//
// The EEPROM is 28 logical pages of 60 bytes. Each physical page holds one
// version of one logical page behind a 4-byte header; the newest version is
// the highest-numbered page of its row carrying that number. All state is
// module-level (_eeprom_instance). Call order: eeprom_emulator_init; if it
// fails, eeprom_emulator_erase_memory and init again; then reads and
// writes; eeprom_emulator_commit_page_buffer after each logical change.
//
// Damaged images are handled conservatively: nothing ever reads or writes
// outside page_map, the emulated EEPROM or the flash image. A row whose
// pages 0 and 1 do not hold two distinct valid logical pages (or the master
// row) is never moved; the write that needs the move fails with
// STATUS_ERR_BAD_FORMAT and the image is left as it was.
#pragma once

#include <cstdint>

#include "status_codes.h"

constexpr uint8_t kEepromPageSize = 60;          // data bytes of a logical page
constexpr uint8_t kEepromHeaderSize = 4;
constexpr uint8_t kEepromFreePage = 0xFF;        // header byte of an erased page
constexpr uint8_t kEepromPageMapSize = 124;
constexpr uint8_t kEepromNoSpareRow = 63;        // spare_row when none was found
constexpr uint8_t kEepromReservedPages = 8;      // spare row, master row
constexpr uint8_t kEepromSmallestArea = 12;      // pages needed to emulate at all

struct _eeprom_page_header {
    uint8_t logical_page;
    uint8_t reserved[3];
};

struct _eeprom_page {
    _eeprom_page_header header;
    uint8_t data[kEepromPageSize];
};
static_assert(sizeof(_eeprom_page) == 64, "a physical page is one flash page");

struct _eeprom_master_page {
    uint32_t magic_key[3];
    uint8_t major_version;
    uint8_t minor_version;
    uint8_t revision;
    uint8_t emulator_id;
    uint8_t reserved[48];
};
static_assert(sizeof(_eeprom_master_page) == 64, "the master page is one flash page");

constexpr uint32_t kEepromMagicKey[3] = {0x41744545, 0x50524F4D, 0x456D752E};
constexpr uint8_t kEepromMajorVersion = 1;
constexpr uint8_t kEepromMinorVersion = 0;
constexpr uint8_t kEepromRevision = 0;
constexpr uint8_t kEepromEmulatorId = 1;

struct _eeprom_module {
    bool initialized;
    _eeprom_page* flash;        // physical page 0 = g_eeprom[0]
    uint16_t physical_pages;
    uint8_t logical_pages;
    uint8_t page_map[kEepromPageMapSize];  // logical page -> physical page of its newest version
    uint8_t spare_row;
    _eeprom_page cache;         // the page buffer
    bool cache_active;          // cache written to flash but not yet committed
};

// The emulator's one state; zero at program start.
extern _eeprom_module _eeprom_instance;

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
void _eeprom_emulator_nvm_erase_row(uint8_t row);
void _eeprom_emulator_nvm_fill_cache(uint16_t physical_page, const _eeprom_page* data);
void _eeprom_emulator_nvm_commit_cache(uint16_t physical_page);
void _eeprom_emulator_nvm_read_page(uint16_t physical_page, _eeprom_page* data);
void _eeprom_emulator_format_memory();
void _eeprom_emulator_create_master_page();
status_code _eeprom_emulator_verify_master_page();
void _eeprom_emulator_update_page_mapping();
void _eeprom_emulator_check_logical_page();
void _eeprom_emulator_erase_invalid_page(uint8_t row_i, uint8_t row_j);
bool _eeprom_emulator_is_full_row(uint8_t row);
bool _eeprom_emulator_is_page_free_on_row(uint8_t start_physical_page, uint8_t* free_physical_page);
status_code _eeprom_emulator_move_data_to_spare(uint8_t row, uint8_t logical_page, const uint8_t* data);
