#include "eeprom.h"

#include <cstring>

#include "nvm.h"

_eeprom_module _eeprom_instance;

namespace {

_eeprom_module& self = _eeprom_instance;

static_assert(kNvmEepromNumberOfPages * kNvmPageSize <= kFlashImageSize,
              "the emulated area must lie inside the flash image");
static_assert((kNvmEepromNumberOfPages - kEepromReservedPages) / 2 <= kEepromPageMapSize,
              "every logical page needs a page-map entry");
static_assert(kNvmEepromNumberOfPages / kNvmPagesPerRow < kEepromNoSpareRow,
              "the no-spare marker must not be a row number");

constexpr uint8_t kPagesPerRow = kNvmPagesPerRow;

uint32_t pageAddress(uint16_t physical_page)
{
    return uint32_t(physical_page) * kNvmPageSize;
}

uint8_t rowCount()
{
    return uint8_t(self.physical_pages / kPagesPerRow);
}

uint16_t masterPage()
{
    return uint16_t(self.physical_pages - 1);
}

uint8_t masterRow()
{
    return uint8_t(masterPage() / kPagesPerRow);
}

uint8_t headerOf(uint16_t physical_page)
{
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(physical_page, &page);
    return page.header.logical_page;
}

bool isValidLogicalPage(uint8_t logical_page)
{
    return logical_page < self.logical_pages;
}

// Logical page numbers reach the API as uint8_t; larger page indices must
// fail the range test instead of wrapping onto a low page.
uint8_t logicalPageAt(uint32_t offset)
{
    uint32_t page = offset / kEepromPageSize;
    return page > 0xFF ? 0xFF : uint8_t(page);
}

uint32_t readLittleEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 |
           uint32_t(bytes[3]) << 24;
}

void writeLittleEndian32(uint8_t* bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = uint8_t(value >> (8 * i));
}

// A row can receive a move only when every page of it is erased.
bool isSpareRowUsable()
{
    if (self.spare_row >= rowCount())
        return false;
    for (uint8_t i = 0; i < kPagesPerRow; ++i) {
        uint16_t page = uint16_t(self.spare_row * kPagesPerRow + i);
        if (page != masterPage() && headerOf(page) != kEepromFreePage)
            return false;
    }
    return true;
}

} // namespace

// --- flash steps: every model call is repeated while it reports busy ---

void _eeprom_emulator_nvm_erase_row(uint8_t row)
{
    while (nvm_erase_row(uint32_t(row) * kNvmRowSize) == STATUS_BUSY) {
    }
}

void _eeprom_emulator_nvm_fill_cache(uint16_t physical_page, const _eeprom_page* data)
{
    while (nvm_write_buffer(pageAddress(physical_page), reinterpret_cast<const uint8_t*>(data),
                            kNvmPageSize) == STATUS_BUSY) {
    }
}

void _eeprom_emulator_nvm_commit_cache(uint16_t physical_page)
{
    while (nvm_execute_command(NVM_COMMAND_WRITE_PAGE, pageAddress(physical_page), 0) ==
           STATUS_BUSY) {
    }
}

void _eeprom_emulator_nvm_read_page(uint16_t physical_page, _eeprom_page* data)
{
    // A page the model refuses to read counts as erased.
    std::memset(data, 0xFF, sizeof *data);
    while (nvm_read_buffer(pageAddress(physical_page), reinterpret_cast<uint8_t*>(data),
                           kNvmPageSize) == STATUS_BUSY) {
    }
}

// --- formatting and the master page ---

void _eeprom_emulator_create_master_page()
{
    _eeprom_master_page master;
    std::memset(&master, 0xFF, sizeof master);
    uint8_t magic[sizeof master.magic_key];
    for (int i = 0; i < 3; ++i)
        writeLittleEndian32(magic + 4 * i, kEepromMagicKey[i]);
    std::memcpy(master.magic_key, magic, sizeof magic);
    master.major_version = kEepromMajorVersion;
    master.minor_version = kEepromMinorVersion;
    master.revision = kEepromRevision;
    master.emulator_id = kEepromEmulatorId;

    _eeprom_page page;
    std::memcpy(&page, &master, sizeof page);
    _eeprom_emulator_nvm_erase_row(masterRow());
    _eeprom_emulator_nvm_fill_cache(masterPage(), &page);
    _eeprom_emulator_nvm_commit_cache(masterPage());
}

status_code _eeprom_emulator_verify_master_page()
{
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(masterPage(), &page);
    _eeprom_master_page master;
    std::memcpy(&master, &page, sizeof master);

    const uint8_t* magic = reinterpret_cast<const uint8_t*>(master.magic_key);
    for (int i = 0; i < 3; ++i) {
        if (readLittleEndian32(magic + 4 * i) != kEepromMagicKey[i])
            return STATUS_ERR_BAD_FORMAT;
    }
    if (master.emulator_id != kEepromEmulatorId || master.major_version != kEepromMajorVersion ||
        master.minor_version != kEepromMinorVersion)
        return STATUS_ERR_IO;
    return STATUS_OK;
}

void _eeprom_emulator_format_memory()
{
    self.spare_row = 0;
    _eeprom_emulator_nvm_erase_row(0);

    // Pages 0 and 1 of every further row get consecutive logical numbers;
    // the two that land in the master row vanish with its erase below.
    uint8_t next = 0;
    for (uint16_t p = kPagesPerRow; p + 1 < self.physical_pages; ++p) {
        if (p % kPagesPerRow == 0)
            _eeprom_emulator_nvm_erase_row(uint8_t(p / kPagesPerRow));
        if (p % kPagesPerRow < 2) {
            _eeprom_page page;
            std::memset(&page, 0xFF, sizeof page);
            page.header.logical_page = next++;
            _eeprom_emulator_nvm_fill_cache(p, &page);
            _eeprom_emulator_nvm_commit_cache(p);
        }
    }
    _eeprom_emulator_create_master_page();
}

// --- page mapping ---

bool _eeprom_emulator_is_full_row(uint8_t row)
{
    uint16_t first = uint16_t(row * kPagesPerRow);
    uint8_t page2 = headerOf(first + 2);
    return page2 == headerOf(first) || page2 == headerOf(first + 1);
}

void _eeprom_emulator_erase_invalid_page(uint8_t row_i, uint8_t row_j)
{
    // The full row is the old one of an interrupted move; otherwise the
    // later row is the unfinished copy.
    _eeprom_emulator_nvm_erase_row(_eeprom_emulator_is_full_row(row_i) ? row_i : row_j);
}

void _eeprom_emulator_check_logical_page()
{
    uint8_t rows = rowCount();
    for (uint8_t i = 0; i + 1 < rows; ++i) {
        uint8_t logical = headerOf(uint16_t(i * kPagesPerRow));
        if (logical == kEepromFreePage)
            continue;
        for (uint8_t j = uint8_t(i + 1); j < rows; ++j) {
            if (headerOf(uint16_t(j * kPagesPerRow)) == logical)
                _eeprom_emulator_erase_invalid_page(i, j);
        }
    }
}

void _eeprom_emulator_update_page_mapping()
{
    _eeprom_emulator_check_logical_page();

    for (uint16_t c = 0; c < masterPage(); ++c) {
        uint8_t logical = headerOf(c);
        if (logical != kEepromFreePage && isValidLogicalPage(logical))
            self.page_map[logical] = uint8_t(c);
    }

    self.spare_row = kEepromNoSpareRow;
    for (uint8_t row = 0; row < rowCount(); ++row) {
        bool allFree = true;
        for (uint8_t i = 0; i < kPagesPerRow && allFree; ++i) {
            uint16_t page = uint16_t(row * kPagesPerRow + i);
            allFree = page == masterPage() || headerOf(page) == kEepromFreePage;
        }
        if (allFree) {
            self.spare_row = row;
            break;
        }
    }
}

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
    if (row == masterRow() || row == self.spare_row || !isSpareRowUsable() ||
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
        uint16_t target = uint16_t(self.spare_row * kPagesPerRow + c);
        eeprom_emulator_commit_page_buffer();
        if (logical[c] == logical_page) {
            self.cache.header.logical_page = logical_page;
            std::memcpy(self.cache.data, data, kEepromPageSize);
        } else {
            _eeprom_emulator_nvm_read_page(current[c], &self.cache);
        }
        _eeprom_emulator_nvm_fill_cache(target, &self.cache);
        self.page_map[logical[c]] = uint8_t(target);
        self.cache_active = true;
    }

    _eeprom_emulator_nvm_erase_row(row);
    self.spare_row = row;
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

    self.physical_pages = uint16_t(parameters.eeprom_number_of_pages);
    self.logical_pages = uint8_t((parameters.eeprom_number_of_pages - kEepromReservedPages) / 2);
    self.flash = reinterpret_cast<_eeprom_page*>(g_eeprom);
    self.cache_active = false;

    _eeprom_emulator_update_page_mapping();
    if (self.spare_row == kEepromNoSpareRow)
        return STATUS_ERR_BAD_FORMAT;
    status_code status = _eeprom_emulator_verify_master_page();
    if (status != STATUS_OK)
        return status;
    self.initialized = true;
    return STATUS_OK;
}

void eeprom_emulator_erase_memory()
{
    if (self.physical_pages < kEepromSmallestArea)
        return;  // no geometry yet: nothing to format
    _eeprom_emulator_format_memory();
    _eeprom_emulator_update_page_mapping();
}

status_code eeprom_emulator_get_parameters(eeprom_emulator_parameters* parameters)
{
    if (!self.initialized)
        return STATUS_ERR_NOT_INITIALIZED;
    parameters->page_size = kEepromPageSize;
    parameters->eeprom_number_of_pages = self.logical_pages;
    return STATUS_OK;
}

namespace {

status_code checkPageAccess(uint8_t logical_page)
{
    if (!self.initialized)
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
    if (self.cache_active && self.cache.header.logical_page != logical_page)
        eeprom_emulator_commit_page_buffer();

    uint8_t current = self.page_map[logical_page];
    // Only a stale map entry of a damaged image can point into the spare
    // row; writing there would leave the area without one.
    if (current / kPagesPerRow == self.spare_row)
        return STATUS_ERR_BAD_FORMAT;

    uint8_t target;
    if (!_eeprom_emulator_is_page_free_on_row(current, &target))
        return _eeprom_emulator_move_data_to_spare(uint8_t(current / kPagesPerRow), logical_page,
                                                   data);

    self.cache.header.logical_page = logical_page;
    std::memcpy(self.cache.data, data, kEepromPageSize);
    _eeprom_emulator_nvm_fill_cache(target, &self.cache);
    self.page_map[logical_page] = target;
    self.cache_active = true;
    return STATUS_OK;
}

status_code eeprom_emulator_read_page(uint8_t logical_page, uint8_t* data)
{
    status_code status = checkPageAccess(logical_page);
    if (status != STATUS_OK)
        return status;
    if (self.cache_active && self.cache.header.logical_page == logical_page) {
        std::memcpy(data, self.cache.data, kEepromPageSize);
        return STATUS_OK;
    }
    _eeprom_page page;
    _eeprom_emulator_nvm_read_page(self.page_map[logical_page], &page);
    std::memcpy(data, page.data, kEepromPageSize);
    return STATUS_OK;
}

status_code eeprom_emulator_commit_page_buffer()
{
    if (self.cache_active) {
        uint8_t logical = self.cache.header.logical_page;
        if (isValidLogicalPage(logical))
            _eeprom_emulator_nvm_commit_cache(self.page_map[logical]);
        self.cache_active = false;
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
