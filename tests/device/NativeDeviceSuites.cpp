// The shared suites, run against the Linux build of the tool.
#include <gtest/gtest.h>

#include "NativeLauncher.h"
#include "SharedDeviceSuites.h"
#include "NativeDeviceSuites.h"

INSTANTIATE_TEST_SUITE_P(Native, SharedCli, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, SharedConnect, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, SharedInfo, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, SharedFirmware, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, SharedSettings, nativeLaunchers(), launcherParamName);

INSTANTIATE_TEST_SUITE_P(Native, DeviceRoadTest, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, InfoTest, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, FirmwareTest, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, SettingsTest, nativeLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Native, FaultTest, nativeLaunchers(), launcherParamName);
