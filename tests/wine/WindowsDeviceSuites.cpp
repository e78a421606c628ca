// The end-to-end suites every build runs, here with PelagoXcon.exe under
// wine against the same virtual adapter and the same expectations.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "SharedDeviceSuites.h"
#include "WineEnvironment.h"

namespace {

::testing::internal::ParamGenerator<LauncherParam> wineLaunchers()
{
    return ::testing::ValuesIn(std::vector<LauncherParam>{
        {"wine", [] { return std::make_unique<WineLauncher>(winePrefix(), PELAGO_WINE_EXE); }},
    });
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Windows, SharedCli, wineLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Windows, SharedConnect, wineLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Windows, SharedInfo, wineLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Windows, SharedFirmware, wineLaunchers(), launcherParamName);
INSTANTIATE_TEST_SUITE_P(Windows, SharedSettings, wineLaunchers(), launcherParamName);
