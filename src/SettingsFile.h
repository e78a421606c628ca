// Settings files on the host: loading into the flash image and saving it
// back without ever leaving a half-written file behind.
#pragma once

#include <cstddef>
#include <string>

// Reads at most the flash image's size from `path` into the start of
// g_eeprom (the rest keeps its bytes). Returns the number of bytes read, or
// -1 when the file cannot be opened or read.
long loadSettingsFile(const char* path);

// Stores the first `size` bytes of g_eeprom as `path` through safeSave,
// whose rules it follows. Returns false, with the reason in *error, when
// the file was not stored; it is then as it was.
bool saveSettingsFile(const char* path, size_t size, std::string* error);
