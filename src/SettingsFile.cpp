#include "SettingsFile.h"

#include <cstdio>
#include <cstring>

#include "SafeSave.h"
#include "SettingsOpen.h"
#include "eeprom.h"
#include "nvm.h"

static_assert(kSettingsFileSize == kNvmEepromNumberOfPages * kNvmPageSize,
              "a settings file is the emulated EEPROM's flash");

long loadSettingsFile(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return kSettingsFileUnreadable;
    size_t count = std::fread(g_eeprom, 1, kFlashImageSize, file);
    // A failed read must not pass for a short file: that would be formatted
    // and could then be saved over the user's settings.
    bool failed = std::ferror(file) != 0;
    bool larger = !failed && count == kFlashImageSize && std::fgetc(file) != EOF;
    failed = failed || std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        return kSettingsFileUnreadable;
    return larger ? kSettingsFileTooLarge : long(count);
}

bool isSettingsImage(const uint8_t* image)
{
    // The emulator works on g_eeprom in place: a copy of the whole state
    // keeps this question free of side effects.
    uint8_t savedImage[kFlashImageSize];
    std::memcpy(savedImage, g_eeprom, sizeof savedImage);
    const _eeprom_module savedEmulator = _eeprom_instance;
    const uint8_t savedDirty = eeprom_dirty;

    placeSettingsImage(image, kSettingsFileSize);
    bool accepted = eeprom_emulator_init() == STATUS_OK;

    std::memcpy(g_eeprom, savedImage, sizeof savedImage);
    _eeprom_instance = savedEmulator;
    eeprom_dirty = savedDirty;
    return accepted;
}

bool saveSettingsFile(const char* path, size_t size, std::string* error)
{
    if (size > kFlashImageSize) {
        *error = "image size out of range";
        return false;
    }
    if (size < kSettingsFileSize)
        size = kSettingsFileSize;
    return safeSave(path, g_eeprom, size, error);
}
