// What the serving thread and the owner of an AdapterSim share.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "SimMemory.h"

namespace sim {

struct SimState {
    mutable std::mutex mutex;  // guards every field below
    SimMemory memory;
    std::vector<std::string> log;
    unsigned resets = 0;
    unsigned sessions = 0;
    bool poweredOff = false;  // the power-off fault struck
    std::FILE* logFile = nullptr;  // owned by AdapterSim
};

}  // namespace sim
