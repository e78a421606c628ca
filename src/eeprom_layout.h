// The EEPROM emulator's area and state: the page formats, the module's one
// state (_eeprom_instance), the flash steps, formatting, the master page
// and the page map with its duplicate-row repair. eeprom.h builds page and
// buffer access on top; nothing here calls back into it.
//
// The emulated EEPROM is 28 logical pages of 60 bytes. Each physical page
// holds one version of one logical page behind a 4-byte header; the newest
// version is the highest-numbered page of its row carrying that number.
#pragma once

#include <cstdint>

#include "nvm.h"
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

// Internal steps, exposed for tests. The flash steps repeat each model call
// while it reports busy; a page the model refuses to read counts as erased.
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

// The geometry of the area as the state describes it; for the emulator's
// own source files.
namespace eeprom_detail {

inline _eeprom_module& self()
{
    return _eeprom_instance;
}

constexpr uint8_t kPagesPerRow = kNvmPagesPerRow;

inline uint32_t pageAddress(uint16_t physical_page)
{
    return uint32_t(physical_page) * kNvmPageSize;
}

inline uint8_t rowCount()
{
    return uint8_t(self().physical_pages / kPagesPerRow);
}

inline uint16_t masterPage()
{
    return uint16_t(self().physical_pages - 1);
}

inline uint8_t masterRow()
{
    return uint8_t(masterPage() / kPagesPerRow);
}

inline uint8_t headerOf(uint16_t physical_page)
{
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(physical_page, &page);
    return page.header.logical_page;
}

inline bool isValidLogicalPage(uint8_t logical_page)
{
    return logical_page < self().logical_pages;
}

} // namespace eeprom_detail
