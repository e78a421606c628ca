#include "nvm.h"

#include <cstring>

namespace {

bool isPageAligned(uint32_t address)
{
    return address % kNvmPageSize == 0;
}

// Whether [address, address + length) lies inside the image; done in 64
// bits so that no sum can wrap.
bool insideImage(uint64_t address, uint64_t length)
{
    return address + length <= kFlashImageSize;
}

} // namespace

status_code nvm_set_config(const nvm_config*)
{
    return STATUS_OK;
}

void nvm_get_parameters(nvm_parameters* parameters)
{
    parameters->page_size = kNvmPageSize;
    parameters->nvm_number_of_pages = kNvmNumberOfPages;
    parameters->eeprom_number_of_pages = kNvmEepromNumberOfPages;
}

status_code nvm_read_buffer(uint32_t source_address, uint8_t* buffer, uint16_t length)
{
    if (!isPageAligned(source_address))
        return STATUS_ERR_BAD_ADDRESS;
    if (length > kNvmPageSize)
        return STATUS_ERR_INVALID_ARG;
    if (!insideImage(source_address, length))
        return STATUS_ERR_BAD_ADDRESS;
    if (length > 0)
        std::memcpy(buffer, g_eeprom + source_address, length);
    return STATUS_OK;
}

status_code nvm_write_buffer(uint32_t destination_address, const uint8_t* buffer,
                             uint16_t length)
{
    return nvm_update_buffer(destination_address, buffer, 0, length);
}

status_code nvm_update_buffer(uint32_t destination_address, const uint8_t* buffer,
                              uint16_t offset, uint16_t length)
{
    if (!isPageAligned(destination_address))
        return STATUS_ERR_BAD_ADDRESS;
    if (uint32_t(offset) + length > kNvmPageSize)
        return STATUS_ERR_INVALID_ARG;
    if (!insideImage(uint64_t(destination_address) + offset, length))
        return STATUS_ERR_BAD_ADDRESS;
    eeprom_dirty = 1;
    if (length > 0)
        std::memcpy(g_eeprom + destination_address + offset, buffer, length);
    return STATUS_OK;
}

status_code nvm_erase_row(uint32_t row_address)
{
    if (row_address % kNvmRowSize != 0 || !insideImage(row_address, kNvmRowSize))
        return STATUS_ERR_BAD_ADDRESS;
    eeprom_dirty = 1;
    std::memset(g_eeprom + row_address, 0xFF, kNvmRowSize);
    return STATUS_OK;
}

status_code nvm_execute_command(nvm_command command, uint32_t, uint32_t)
{
    if (command == NVM_COMMAND_WRITE_PAGE)
        eeprom_dirty = 1;
    return STATUS_OK;
}
