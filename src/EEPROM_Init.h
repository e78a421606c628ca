// The built-in settings image that the settings-clearing action writes.
#pragma once

#include <cstdint>

extern uint8_t g_myData[4097];
extern const uint32_t g_myData_Size;
