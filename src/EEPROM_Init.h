// The built-in settings image: a freshly formatted settings area holding
// the old-format signature and an empty lens table, as the settings-clearing
// action writes it to the adapter.
#pragma once

#include <cstdint>

constexpr uint32_t kMyDataCapacity = 4097;  // the image and a closing zero byte

extern const uint8_t g_myData[kMyDataCapacity];
extern const uint32_t g_myData_Size;  // 4096: the image without the closing byte
