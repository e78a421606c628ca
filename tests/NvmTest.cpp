// The flash model: alignment and length rules, the dirty flag, plain overwrite.
#include <gtest/gtest.h>

#include "SettingsImage.h"

namespace {

class Nvm : public SettingsImageTest {};

uint8_t bytes[65];

TEST_F(Nvm, WholePagesAtTheEdgesOfTheAreaAreAccepted)
{
    EXPECT_EQ(nvm_write_buffer(0, bytes, 64), STATUS_OK);
    EXPECT_EQ(nvm_read_buffer(4032, bytes, 64), STATUS_OK);
    EXPECT_EQ(nvm_write_buffer(8128, bytes, 64), STATUS_OK);
}

TEST_F(Nvm, RejectedCallsChangeNeitherImageNorDirtyFlag)
{
    std::memset(bytes, 0x11, sizeof bytes);
    EXPECT_EQ(nvm_read_buffer(0, bytes, 65), STATUS_ERR_INVALID_ARG);
    EXPECT_EQ(nvm_write_buffer(0, bytes, 65), STATUS_ERR_INVALID_ARG);
    // A misaligned address wins over a bad length.
    EXPECT_EQ(nvm_write_buffer(32, bytes, 1), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(nvm_write_buffer(32, bytes, 65), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(nvm_update_buffer(0, bytes, 60, 5), STATUS_ERR_INVALID_ARG);
    EXPECT_EQ(nvm_erase_row(64), STATUS_ERR_BAD_ADDRESS);
    // Nothing outside the image is ever reached.
    EXPECT_EQ(nvm_read_buffer(8192, bytes, 1), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(nvm_write_buffer(0xFFFFFFC0u, bytes, 64), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(nvm_update_buffer(8128, bytes, 60, 4), STATUS_OK);
    eeprom_dirty = 0;
    EXPECT_EQ(nvm_erase_row(8192), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(eeprom_dirty, 0);
    for (size_t i = 0; i < kFlashImageSize - 4; ++i)
        ASSERT_EQ(g_eeprom[i], 0xFF) << i;
}

TEST_F(Nvm, EveryChangeSetsTheDirtyFlagEvenWithoutBytes)
{
    EXPECT_EQ(nvm_write_buffer(64, bytes, 0), STATUS_OK);
    EXPECT_EQ(eeprom_dirty, 1);
    eeprom_dirty = 0;
    EXPECT_EQ(nvm_update_buffer(64, bytes, 60, 4), STATUS_OK);
    EXPECT_EQ(eeprom_dirty, 1);
    eeprom_dirty = 0;
    EXPECT_EQ(nvm_execute_command(NVM_COMMAND_ERASE_ROW, 0, 0), STATUS_OK);
    EXPECT_EQ(eeprom_dirty, 0);
    EXPECT_EQ(nvm_execute_command(NVM_COMMAND_WRITE_PAGE, 0, 0), STATUS_OK);
    EXPECT_EQ(eeprom_dirty, 1);
}

TEST_F(Nvm, WritesOverwriteInsteadOfAndingAndErasesCoverOneRow)
{
    std::memset(g_eeprom, 0x0F, kFlashImageSize);
    uint8_t value[1] = {0xF0};
    ASSERT_EQ(nvm_update_buffer(256, value, 3, 1), STATUS_OK);
    EXPECT_EQ(g_eeprom[259], 0xF0);

    ASSERT_EQ(nvm_erase_row(256), STATUS_OK);
    EXPECT_EQ(g_eeprom[255], 0x0F);
    for (int i = 256; i < 512; ++i)
        ASSERT_EQ(g_eeprom[i], 0xFF) << i;
    EXPECT_EQ(g_eeprom[512], 0x0F);
}

TEST_F(Nvm, ReportsTheFixedGeometry)
{
    nvm_parameters parameters{};
    parameters.bootloader_number_of_pages = 7;
    nvm_get_parameters(&parameters);
    EXPECT_EQ(parameters.page_size, 64);
    EXPECT_EQ(parameters.nvm_number_of_pages, 64);
    EXPECT_EQ(parameters.eeprom_number_of_pages, 64u);
    EXPECT_EQ(parameters.bootloader_number_of_pages, 7u);
}

} // namespace
