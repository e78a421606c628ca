// Settings files on the host: loading into the flash image and saving it
// back without ever leaving a half-written file behind.
#pragma once

#include <cstddef>
#include <string>

// Reads at most the flash image's size from `path` into the start of
// g_eeprom (the rest keeps its bytes). Returns the number of bytes read, or
// -1 when the file cannot be opened or read.
long loadSettingsFile(const char* path);

// Replaces `path` with the first `size` bytes of g_eeprom: the bytes go to a
// temporary file in the same directory, which is flushed and renamed over
// the original only when everything was written. A link is followed, and
// the new file keeps the original's permissions; a read-only file is not
// replaced. Returns false, with the reason in *error, when any step failed;
// the original is then untouched.
bool saveSettingsFile(const char* path, size_t size, std::string* error);
