#include "DeviceRoad.h"

int deviceRoad(PelagoConfig&, const char*)
{
    std::fputs("PelagoXcon: talking to the adapter is not built yet\n", stderr);
    return 1;
}
