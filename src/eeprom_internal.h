// Helpers shared by the emulator's source files; not part of its interface.
#pragma once

#include <cstdint>

#include "eeprom.h"
#include "nvm.h"

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
