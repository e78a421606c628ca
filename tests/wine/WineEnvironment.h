// The wine prefix of this test program, made ready once before its first
// test runs.
#pragma once

#include "WineLauncher.h"

// The shared prefix; valid after the global set-up, which fails the whole
// program when wine cannot be brought up.
const WinePrefix& winePrefix();
