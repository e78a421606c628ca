// The area's structure: flash steps, formatting, the master page and the
// page map with its duplicate-row repair.
#include "eeprom_layout.h"

#include <cstring>

using namespace eeprom_detail;

_eeprom_module _eeprom_instance;

namespace {

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
    self().spare_row = 0;
    _eeprom_emulator_nvm_erase_row(0);

    // Pages 0 and 1 of every further row get consecutive logical numbers;
    // the two that land in the master row vanish with its erase below.
    uint8_t next = 0;
    for (uint16_t p = kPagesPerRow; p + 1 < self().physical_pages; ++p) {
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
            self().page_map[logical] = uint8_t(c);
    }

    self().spare_row = kEepromNoSpareRow;
    for (uint8_t row = 0; row < rowCount(); ++row) {
        bool allFree = true;
        for (uint8_t i = 0; i < kPagesPerRow && allFree; ++i) {
            uint16_t page = uint16_t(row * kPagesPerRow + i);
            allFree = page == masterPage() || headerOf(page) == kEepromFreePage;
        }
        if (allFree) {
            self().spare_row = row;
            break;
        }
    }
}
