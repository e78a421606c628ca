// Opening a settings image, shared by the console's lens display and
// tuning and by the web page's lens editor, with the lines the user reads
// for each outcome.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SettingsOpened {
    Formatted,  // not an emulated EEPROM: formatted blank, signature not read
    Current,    // "EX02": the lens records are used
    Old,        // "EX01"
    Corrupted,  // any other signature
};

// Console lines of the outcomes and of the lens tuning (no line end).
extern const char kOldFormatText[];       // Old
extern const char kCorruptedText[];       // Corrupted
extern const char kFormattedFormat[];     // Formatted, with the file name for %s
extern const char kNoLensText[];          // Current, but no lens recorded
extern const char kOpenFailedFormat[];    // the file could not be read, name for %s
extern const char kNotSettingsFileFormat[];  // -u refused a file that is no settings area, name for %s
extern const char kTooLargeFormat[];      // a save refused for a file past the flash image, name for %s

// Erases the whole flash image (0xFF), clears the emulator's state and
// copies the first min(size, kFlashImageSize) bytes of `bytes` to its
// start, as a settings file is loaded in a fresh run; returns that count.
size_t placeSettingsImage(const uint8_t* bytes, size_t size);

// Opens g_eeprom through the emulator, formatting it afresh when it is not
// an emulated EEPROM, and classifies its signature.
SettingsOpened openSettingsImage();

// The line for Old or Corrupted; nullptr for the others.
const char* signatureText(SettingsOpened opened);
