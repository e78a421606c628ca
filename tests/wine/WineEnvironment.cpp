#include "WineEnvironment.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

WinePrefix& prefix()
{
    static WinePrefix shared(WineSetup{ENV_PROGRAM, WINE_PROGRAM, WINESERVER_PROGRAM, WINE_PREFIX_DIR});
    return shared;
}

class WineEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        for (const char* exe : {PELAGO_WINE_EXE, COM_ECHO_EXE, WIN_PORT_PROBE_EXE, CFGMGR_DOUBLE_DLL})
            ASSERT_TRUE(std::filesystem::exists(exe)) << exe << " is missing: build the mingw preset first";
        std::string error;
        ASSERT_TRUE(prefix().prepare(error)) << error;
    }
};

// Registered before main runs, so any gtest main picks it up.
[[maybe_unused]] ::testing::Environment* const kRegistered =
    ::testing::AddGlobalTestEnvironment(new WineEnvironment);

} // namespace

const WinePrefix& winePrefix()
{
    return prefix();
}
