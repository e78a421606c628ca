// Settings files on the host: loading into the flash image, telling a
// settings file from any other, and saving it back without ever leaving a
// half-written file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The size of a settings file: the adapter's whole settings area.
constexpr size_t kSettingsFileSize = 4096;

// What loadSettingsFile returns for a file it cannot open or read.
constexpr long kSettingsFileUnreadable = -1;
// What loadSettingsFile returns for a file longer than the flash image:
// its first kFlashImageSize bytes are loaded, but it is no settings file
// and must never be written back.
constexpr long kSettingsFileTooLarge = -2;

// Reads at most the flash image's size from `path` into the start of
// g_eeprom (the rest keeps its bytes). Returns the number of bytes read,
// kSettingsFileTooLarge when the file holds more than the image, or
// kSettingsFileUnreadable when it cannot be opened or read.
long loadSettingsFile(const char* path);

// Whether the kSettingsFileSize bytes of `image` are an adapter setting
// file: the emulator accepts them as a formatted settings area. g_eeprom
// and the emulator's state are left as they were.
bool isSettingsImage(const uint8_t* image);

// Stores the first `size` bytes of g_eeprom as `path` through safeSave,
// whose rules it follows; a `size` below kSettingsFileSize stores the
// whole settings area. Returns false, with the reason in *error, when the
// file was not stored; it is then as it was.
bool saveSettingsFile(const char* path, size_t size, std::string* error);
