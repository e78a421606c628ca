#include "OfflineRoad.h"

#include <cstdio>

int offlineRoad(const char*)
{
    std::fputs("PelagoXcon: the settings file display and tuning is not built yet\n", stderr);
    return 1;
}
