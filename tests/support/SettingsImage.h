// Test fixture for code over the module-level settings image: every test
// starts from an erased image, a clean dirty flag and a zero emulator state.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "eeprom.h"
#include "nvm.h"

class SettingsImageTest : public ::testing::Test {
protected:
    void SetUp() override { resetSettingsImage(); }

    static void resetSettingsImage()
    {
        std::memset(g_eeprom, 0xFF, kFlashImageSize);
        eeprom_dirty = 0;
        _eeprom_instance = _eeprom_module{};
    }

    // Formats the blank image and opens it, as the offline road does.
    static void formatAndOpen()
    {
        ASSERT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
        eeprom_emulator_erase_memory();
        ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    }

    static uint8_t header(int physicalPage) { return g_eeprom[physicalPage * 64]; }
    static const uint8_t* page(int physicalPage) { return g_eeprom + physicalPage * 64; }
    static std::vector<uint8_t> snapshot() { return {g_eeprom, g_eeprom + kFlashImageSize}; }
};
