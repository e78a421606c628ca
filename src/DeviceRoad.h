// The device road: find the adapter, check its chip, run the action blocks.
#pragma once

#include "PelagoXcon.h"

// Runs the whole device road for `file` (null when no option needs one);
// returns the run's exit status.
int deviceRoad(PelagoConfig& cfg, const char* file);
