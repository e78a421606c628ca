// In-memory model of the adapter's settings flash: the controller's
// operations carried out on the byte image g_eeprom.
//
// Addresses are byte addresses in the model's flash, which begins at
// address 0 with g_eeprom[0]. Page operations need an address that is a
// multiple of kNvmPageSize, row erases one that is a multiple of
// kNvmRowSize. A rejected call changes neither the image nor eeprom_dirty.
#pragma once

#include <cstddef>
#include <cstdint>

#include "status_codes.h"

constexpr size_t kFlashImageSize = 8192;

// The flash image, defined beside the driver; filled with 0xFF (erased)
// once the command line has been parsed.
extern uint8_t g_eeprom[kFlashImageSize];
// Set by every change of g_eeprom; never cleared.
extern uint8_t eeprom_dirty;

constexpr uint32_t kNvmPageSize = 64;
constexpr uint32_t kNvmPagesPerRow = 4;
constexpr uint32_t kNvmRowSize = kNvmPageSize * kNvmPagesPerRow;
constexpr uint16_t kNvmNumberOfPages = 64;     // what the controller reports
constexpr uint32_t kNvmEepromNumberOfPages = 64;  // the settings area: 16 rows

enum nvm_sleep_power_mode : uint8_t {
    NVM_SLEEP_POWER_MODE_WAKEONACCESS = 0,
    NVM_SLEEP_POWER_MODE_WAKEUPINSTANT = 1,
    NVM_SLEEP_POWER_MODE_ALWAYS_AWAKE = 3,
};

enum nvm_cache_readmode : uint8_t {
    NVM_CACHE_READMODE_NO_MISS_PENALTY = 0,
    NVM_CACHE_READMODE_LOW_POWER = 1,
    NVM_CACHE_READMODE_DETERMINISTIC = 2,
};

enum nvm_command : uint8_t {
    NVM_COMMAND_ERASE_ROW = 2,
    NVM_COMMAND_WRITE_PAGE = 4,
    NVM_COMMAND_ERASE_AUX_ROW = 5,
    NVM_COMMAND_WRITE_AUX_ROW = 6,
    NVM_COMMAND_LOCK_REGION = 64,
    NVM_COMMAND_UNLOCK_REGION = 65,
    NVM_COMMAND_ENTER_LOW_POWER_MODE = 66,
    NVM_COMMAND_EXIT_LOW_POWER_MODE = 67,
    NVM_COMMAND_PAGE_BUFFER_CLEAR = 68,
    NVM_COMMAND_SET_SECURITY_BIT = 69,
};

// Controller settings; accepted and ignored by the model.
struct nvm_config {
    nvm_sleep_power_mode sleep_power_mode = NVM_SLEEP_POWER_MODE_WAKEONACCESS;
    bool manual_page_write = false;
    uint8_t wait_states = 0;
    bool disable_cache = false;
    nvm_cache_readmode cache_readmode = NVM_CACHE_READMODE_NO_MISS_PENALTY;
};

struct nvm_parameters {
    uint8_t page_size;
    uint16_t nvm_number_of_pages;
    uint32_t eeprom_number_of_pages;
    uint32_t bootloader_number_of_pages;  // not filled in by the model
};

// Ignores `config`; STATUS_OK.
status_code nvm_set_config(const nvm_config* config);

// Fills page_size (64), nvm_number_of_pages (64), eeprom_number_of_pages (64).
void nvm_get_parameters(nvm_parameters* parameters);

// Copies `length` bytes of the image at `source_address` into `buffer`.
// STATUS_ERR_BAD_ADDRESS: address not page-aligned, or the range leaves the
// image; STATUS_ERR_INVALID_ARG: length above one page.
status_code nvm_read_buffer(uint32_t source_address, uint8_t* buffer, uint16_t length);

// Overwrites `length` bytes of the image (a plain copy, not a flash AND)
// and sets eeprom_dirty, also for length 0. Failures as for reading.
status_code nvm_write_buffer(uint32_t destination_address, const uint8_t* buffer,
                             uint16_t length);

// Overwrites `length` bytes at page address + `offset`; sets eeprom_dirty.
// STATUS_ERR_BAD_ADDRESS: address not page-aligned or outside the image;
// STATUS_ERR_INVALID_ARG: offset + length above one page.
status_code nvm_update_buffer(uint32_t destination_address, const uint8_t* buffer,
                              uint16_t offset, uint16_t length);

// Fills the row at `row_address` with 0xFF; sets eeprom_dirty.
// STATUS_ERR_BAD_ADDRESS: address not row-aligned or outside the image.
status_code nvm_erase_row(uint32_t row_address);

// NVM_COMMAND_WRITE_PAGE only sets eeprom_dirty (the page is already in the
// image); every other command does nothing. Always STATUS_OK.
status_code nvm_execute_command(nvm_command command, uint32_t address, uint32_t parameter);
