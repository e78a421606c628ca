// Page and buffer access, the page buffer and row moves, initialisation.
#include "eeprom.h"

#include <cstring>

using namespace eeprom_detail;

namespace {

static_assert(kNvmEepromNumberOfPages * kNvmPageSize <= kFlashImageSize,
              "the emulated area must lie inside the flash image");
static_assert((kNvmEepromNumberOfPages - kEepromReservedPages) / 2 <= kEepromPageMapSize,
              "every logical page needs a page-map entry");
static_assert(kNvmEepromNumberOfPages / kNvmPagesPerRow < kEepromNoSpareRow,
              "the no-spare marker must not be a row number");

// Logical page numbers reach the API as uint8_t; larger page indices must
// fail the range test instead of wrapping onto a low page.
uint8_t logicalPageAt(uint32_t offset)
{
    uint32_t page = offset / kEepromPageSize;
    return page > 0xFF ? 0xFF : uint8_t(page);
}

// A row can receive a move only when every page of it is erased.
bool isSpareRowUsable()
{
    if (self().spare_row >= rowCount())
        return false;
    for (uint8_t i = 0; i < kPagesPerRow; ++i) {
        uint16_t page = uint16_t(self().spare_row * kPagesPerRow + i);
        if (page != masterPage() && headerOf(page) != kEepromFreePage)
            return false;
    }
    return true;
}

} // namespace

// --- writing pages ---

bool _eeprom_emulator_is_page_free_on_row(uint8_t start_physical_page, uint8_t* free_physical_page)
{
    uint16_t rowEnd = uint16_t((start_physical_page / kPagesPerRow + 1) * kPagesPerRow);
    for (uint16_t p = start_physical_page; p < rowEnd && p < masterPage(); ++p) {
        if (headerOf(p) == kEepromFreePage) {
            *free_physical_page = uint8_t(p);
            return true;
        }
    }
    return false;
}

status_code _eeprom_emulator_move_data_to_spare(uint8_t row, uint8_t logical_page, const uint8_t* data)
{
    uint16_t first = uint16_t(row * kPagesPerRow);
    uint8_t logical[2] = {headerOf(first), headerOf(first + 1)};
    // A damaged row would record map entries out of range or drop the new
    // data; leave the image as it is instead.
    if (row == masterRow() || row == self().spare_row || !isSpareRowUsable() ||
        !isValidLogicalPage(logical[0]) || !isValidLogicalPage(logical[1]) ||
        logical[0] == logical[1] || (logical_page != logical[0] && logical_page != logical[1]))
        return STATUS_ERR_BAD_FORMAT;

    uint16_t current[2] = {first, uint16_t(first + 1)};
    for (int c = 0; c < 2; ++c) {
        if (headerOf(first + 2) == logical[c])
            current[c] = uint16_t(first + 2);
        if (headerOf(first + 3) == logical[c])
            current[c] = uint16_t(first + 3);
    }

    for (int c = 0; c < 2; ++c) {
        uint16_t target = uint16_t(self().spare_row * kPagesPerRow + c);
        eeprom_emulator_commit_page_buffer();
        if (logical[c] == logical_page) {
            self().cache.header.logical_page = logical_page;
            std::memcpy(self().cache.data, data, kEepromPageSize);
        } else {
            _eeprom_emulator_nvm_read_page(current[c], &self().cache);
        }
        _eeprom_emulator_nvm_fill_cache(target, &self().cache);
        self().page_map[logical[c]] = uint8_t(target);
        self().cache_active = true;
    }

    _eeprom_emulator_nvm_erase_row(row);
    self().spare_row = row;
    return STATUS_OK;
}

// --- public operations ---

status_code eeprom_emulator_init()
{
    nvm_config config;
    config.manual_page_write = true;
    while (nvm_set_config(&config) == STATUS_BUSY) {
    }
    nvm_parameters parameters{};
    nvm_get_parameters(&parameters);
    if (parameters.eeprom_number_of_pages < kEepromSmallestArea)
        return STATUS_ERR_NO_MEMORY;

    self().physical_pages = uint16_t(parameters.eeprom_number_of_pages);
    self().logical_pages = uint8_t((parameters.eeprom_number_of_pages - kEepromReservedPages) / 2);
    self().flash = reinterpret_cast<_eeprom_page*>(g_eeprom);
    self().cache_active = false;

    _eeprom_emulator_update_page_mapping();
    if (self().spare_row == kEepromNoSpareRow)
        return STATUS_ERR_BAD_FORMAT;
    status_code status = _eeprom_emulator_verify_master_page();
    if (status != STATUS_OK)
        return status;
    self().initialized = true;
    return STATUS_OK;
}

void eeprom_emulator_erase_memory()
{
    if (self().physical_pages < kEepromSmallestArea)
        return;  // no geometry yet: nothing to format
    _eeprom_emulator_format_memory();
    _eeprom_emulator_update_page_mapping();
}

status_code eeprom_emulator_get_parameters(eeprom_emulator_parameters* parameters)
{
    if (!self().initialized)
        return STATUS_ERR_NOT_INITIALIZED;
    parameters->page_size = kEepromPageSize;
    parameters->eeprom_number_of_pages = self().logical_pages;
    return STATUS_OK;
}

namespace {

status_code checkPageAccess(uint8_t logical_page)
{
    if (!self().initialized)
        return STATUS_ERR_NOT_INITIALIZED;
    if (!isValidLogicalPage(logical_page))
        return STATUS_ERR_BAD_ADDRESS;
    return STATUS_OK;
}

} // namespace

status_code eeprom_emulator_write_page(uint8_t logical_page, const uint8_t* data)
{
    status_code status = checkPageAccess(logical_page);
    if (status != STATUS_OK)
        return status;
    if (self().cache_active && self().cache.header.logical_page != logical_page)
        eeprom_emulator_commit_page_buffer();

    uint8_t current = self().page_map[logical_page];
    // Only a stale map entry of a damaged image can point into the spare
    // row; writing there would leave the area without one.
    if (current / kPagesPerRow == self().spare_row)
        return STATUS_ERR_BAD_FORMAT;

    uint8_t target;
    if (!_eeprom_emulator_is_page_free_on_row(current, &target))
        return _eeprom_emulator_move_data_to_spare(uint8_t(current / kPagesPerRow), logical_page,
                                                   data);

    self().cache.header.logical_page = logical_page;
    std::memcpy(self().cache.data, data, kEepromPageSize);
    _eeprom_emulator_nvm_fill_cache(target, &self().cache);
    self().page_map[logical_page] = target;
    self().cache_active = true;
    return STATUS_OK;
}

status_code eeprom_emulator_read_page(uint8_t logical_page, uint8_t* data)
{
    status_code status = checkPageAccess(logical_page);
    if (status != STATUS_OK)
        return status;
    if (self().cache_active && self().cache.header.logical_page == logical_page) {
        std::memcpy(data, self().cache.data, kEepromPageSize);
        return STATUS_OK;
    }
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(self().page_map[logical_page], &page);
    std::memcpy(data, page.data, kEepromPageSize);
    return STATUS_OK;
}

status_code eeprom_emulator_commit_page_buffer()
{
    if (self().cache_active) {
        uint8_t logical = self().cache.header.logical_page;
        if (isValidLogicalPage(logical))
            _eeprom_emulator_nvm_commit_cache(self().page_map[logical]);
        self().cache_active = false;
    }
    return STATUS_OK;
}

status_code eeprom_emulator_write_buffer(uint16_t offset, const uint8_t* data, uint16_t length)
{
    uint8_t page[kEepromPageSize] = {};
    uint8_t logical = logicalPageAt(offset);
    bool aligned = offset % kEepromPageSize == 0;

    if (!aligned || length < kEepromPageSize) {
        status_code status = eeprom_emulator_read_page(logical, page);
        if (status != STATUS_OK)
            return status;
    }
    if (!aligned && length == 0)
        return STATUS_OK;

    uint32_t end = uint32_t(offset) + length;
    uint32_t c = offset;
    if (aligned && length >= 1) {
        page[0] = data[0];
        ++c;
    }
    for (; c < end; ++c) {
        if (c % kEepromPageSize == 0) {
            status_code status = eeprom_emulator_write_page(logical, page);
            if (status != STATUS_OK)
                return status;
            logical = logicalPageAt(c);
            status = eeprom_emulator_read_page(logical, page);
            if (status != STATUS_OK)
                return status;
        }
        page[c % kEepromPageSize] = data[c - offset];
    }
    return eeprom_emulator_write_page(logical, page);
}

status_code eeprom_emulator_read_buffer(uint16_t offset, uint8_t* data, uint16_t length)
{
    uint8_t page[kEepromPageSize];
    status_code status = eeprom_emulator_read_page(logicalPageAt(offset), page);
    if (status != STATUS_OK)
        return status;
    for (uint32_t i = 0; i < length; ++i) {
        uint32_t c = offset + i;
        if (c % kEepromPageSize == 0 && i > 0) {
            status = eeprom_emulator_read_page(logicalPageAt(c), page);
            if (status != STATUS_OK)
                return status;
        }
        data[i] = page[c % kEepromPageSize];
    }
    return STATUS_OK;
}
