// The lens display and tuning on an opened settings image: the hex dump of
// the emulated EEPROM, the lens listing and the correction dialogue.
// Console text goes to `out`, answers come from `in` through get_int.
#pragma once

#include <cstdio>

#include "SettingsRecord.h"

// The lenses listed and tuned: lens_num_used, but no more than the
// EEPROM's lens table holds.
int listedLensCount(const EF_LENS_CTRL& ctrl);

// The note (no line end) after a listing cut at the table's end:
// lens_num_used, then the count listed.
extern const char kLensesBeyondFormat[];

// Prints the 1680 bytes of the emulated EEPROM, 16 per line, as " %02X".
void printEepromDump(FILE* out);

// Lists lens records 1..lens_num_used, one line each; records that do not
// fit in the EEPROM are not listed but counted in a one-line note.
void printLensList(const EF_LENS_CTRL& ctrl, FILE* out);

// Repeats listing, lens choice and the four correction prompts until the
// answer is not a listed lens number (end of input included).
void tuneLenses(const EF_LENS_CTRL& ctrl, FILE* in, FILE* out);

// Asks one correction: prints `prompt` with the current value and reads a
// value; returns the byte to store (the default marker for anything that is
// not a number in range, after the wrong-value line).
int8_t askAfCorrection(const char* promptSet, const char* promptDefault, int8_t current,
                       FILE* in, FILE* out);
