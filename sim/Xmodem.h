// The receiving side of XMODEM with a 16-bit CRC, as the monitor runs it for
// block data on a plain serial link.
#pragma once

#include <cstdint>
#include <functional>

#include "PtyLink.h"

namespace sim {

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection).
uint16_t xmodemCrc16(const uint8_t* data, size_t len);

struct XmodemFaults {
    bool neverSendC = false;
    // Refuses block arrivals while this returns true (called once per well-formed block).
    std::function<bool()> refuseBlock;
};

// Receives up to `count` bytes and hands each accepted piece to `store`
// with its offset; bytes of the last block past `count` are filler and are
// dropped. True when the sender ended with EOT; false when it gave up or
// fell silent. Throws LinkDown like the link.
bool xmodemReceive(PtyLink& link, uint32_t count, const XmodemFaults& faults,
                   const std::function<void(uint32_t offset, const uint8_t* data, uint32_t len)>& store);

}  // namespace sim
