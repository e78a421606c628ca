#include "SettingsFile.h"

#include <cstdio>

#include "SafeSave.h"
#include "nvm.h"

long loadSettingsFile(const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return -1;
    size_t count = std::fread(g_eeprom, 1, kFlashImageSize, file);
    // A failed read must not pass for a short file: that would be formatted
    // and could then be saved over the user's settings.
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? -1 : long(count);
}

bool saveSettingsFile(const char* path, size_t size, std::string* error)
{
    if (size > kFlashImageSize) {
        *error = "image size out of range";
        return false;
    }
    return safeSave(path, g_eeprom, size, error);
}
