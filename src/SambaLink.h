// Values the monitor client's source files share.
#pragma once

#include <cstdint>

// Read timeout while connecting and for short answers, in ms.
constexpr int kShortTimeoutMs = 100;
// Read timeout in force on a connected client, in ms.
constexpr int kConnectedTimeoutMs = 1000;
// The adapter's chip; the only one the client accepts.
constexpr uint32_t kAcceptedChipId = 0x1001030B;
// Length of the commands with two 8-digit fields ("S%08X,%08X#" and alike).
constexpr int kTwoFieldCommandLength = 19;
