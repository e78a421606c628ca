// The offline road: display (-d) or tune (-l) a settings file on the host,
// without an adapter, and offer to save it when anything changed.
#pragma once

#include <cstdio>

// Loads `file`, displays or tunes it as `config` asks, offers to save;
// returns the run's exit status, which is always 1.
int offlineRoad(const char* file);

// The road's work on a loaded g_eeprom: opens the emulated EEPROM
// (formatting it afresh when it is not valid), checks the signature, then
// prints the dump (`display`) or runs the tuning dialogue. Returns true
// when the image was not an emulated EEPROM and has been formatted blank.
bool runSettingsSession(bool display, FILE* in, FILE* out);

// When g_eeprom changed: asks whether to save and reads characters until
// Y/y (true) or N/n (false); end of input, or kConsoleLineLimit other
// bytes, answers false.
bool askToSave(FILE* in, FILE* out);
