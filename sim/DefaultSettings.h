// The settings area a fresh virtual adapter holds: the shipped sample
// settings file (a formatted emulated EEPROM with four lenses), embedded at
// build time so that the adapter needs no file at run time.
#pragma once

#include <cstdint>

namespace sim {

constexpr uint32_t kDefaultSettingsSize = 0x1000;
extern const uint8_t kDefaultSettingsImage[kDefaultSettingsSize];

}  // namespace sim
