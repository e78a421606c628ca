// The launchers of the Linux test program, and the suites that only it runs
// (Linux paths and permissions, fault injection, timing bounds).
#pragma once

#include <vector>

#include "DeviceHarness.h"
#include "NativeLauncher.h"

inline ::testing::internal::ParamGenerator<LauncherParam> nativeLaunchers()
{
    return ::testing::ValuesIn(std::vector<LauncherParam>{
        {"native", [] { return std::make_unique<NativeLauncher>(PELAGO_EXE); }},
    });
}

class DeviceRoadTest : public DeviceTest {};    // port choice, chip check, order of blocks
class InfoTest : public DeviceTest {};          // identity values at their edges
class FirmwareTest : public DeviceTest {};      // update rules and refusals
class SettingsTest : public DeviceTest {};      // -u and -s at their edges
class FaultTest : public DeviceTest {};         // a monitor failing in the middle
