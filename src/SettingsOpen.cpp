#include "SettingsOpen.h"

#include <algorithm>
#include <cstring>

#include "SettingsRecord.h"
#include "eeprom.h"
#include "nvm.h"

const char kOldFormatText[] = "Old data format, please update your adapter with latest firmware.";
const char kCorruptedText[] = "Adapter setting was corrupted";
const char kFormattedFormat[] = "%s is not a valid adapter setting file; a blank setting has been formatted";
const char kNoLensText[] = "No lens available for AF tune, quit";
const char kOpenFailedFormat[] = "Failed in opening adapter setting file %s, abort";
const char kNotSettingsFileFormat[] = "%s is not an adapter setting file, abort";
const char kTooLargeFormat[] = "%s is larger than an adapter setting file; it was not changed";

size_t placeSettingsImage(const uint8_t* bytes, size_t size)
{
    size_t count = std::min(size, kFlashImageSize);
    // As in a fresh process: a page write takes header bytes from the
    // emulator's page buffer, so an earlier open must leave nothing there.
    _eeprom_instance = _eeprom_module{};
    std::memset(g_eeprom, 0xFF, kFlashImageSize);
    if (count > 0)
        std::memcpy(g_eeprom, bytes, count);
    return count;
}

SettingsOpened openSettingsImage()
{
    if (eeprom_emulator_init() != STATUS_OK) {
        eeprom_emulator_erase_memory();
        eeprom_emulator_init();
        return SettingsOpened::Formatted;
    }
    uint8_t signature[kSignatureSize];
    readSignature(signature);
    switch (classifySignature(signature)) {
    case SettingsSignature::Old:
        return SettingsOpened::Old;
    case SettingsSignature::Unknown:
        return SettingsOpened::Corrupted;
    case SettingsSignature::Current:
        break;
    }
    return SettingsOpened::Current;
}

const char* signatureText(SettingsOpened opened)
{
    switch (opened) {
    case SettingsOpened::Old:
        return kOldFormatText;
    case SettingsOpened::Corrupted:
        return kCorruptedText;
    case SettingsOpened::Formatted:
    case SettingsOpened::Current:
        break;
    }
    return nullptr;
}
