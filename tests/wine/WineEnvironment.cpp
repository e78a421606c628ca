#include "WineEnvironment.h"

#include <gtest/gtest.h>

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
