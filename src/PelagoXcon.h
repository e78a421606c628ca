// Driver: the entry point, the option table and the run's order.
#pragma once

#include "CmdOpts.h"
#include "DriverValues.h"

extern Option opts[];
extern const int kNumOpts;

extern const char* const kBanner;       // "Quorvane ... 0.3\n"
extern const char* const kVersionLine;  // what --version prints, "PelagoXcon 0.3", without line end

// The entry point behind main(); returns the exit status (0 or 1).
int pelagoMain(int argc, char** argv);

// The program name of a path: after the last '/', else after the last '\',
// else the whole path.
const char* cutProgramName(const char* path);

// Writes the "Try ... for more information" hint to stderr; returns 1.
int help(const char* program);

