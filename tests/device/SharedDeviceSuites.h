// The suites that every launcher runs. A test program instantiates each of
// them with its launchers, e.g.
//   INSTANTIATE_TEST_SUITE_P(Native, SharedInfo, ::testing::Values(param), launcherParamName);
#pragma once

#include "DeviceHarness.h"

class SharedCli : public DeviceTest {};       // -h, no arguments
class SharedConnect : public DeviceTest {};   // -p alone, a dropped reply
class SharedInfo : public DeviceTest {};      // -i, -i -R
class SharedFirmware : public DeviceTest {};  // a full update over USB and over serial
class SharedSettings : public DeviceTest {};  // -s, -u
