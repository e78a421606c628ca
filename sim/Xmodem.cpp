#include "Xmodem.h"

#include <algorithm>
#include <array>

namespace sim {

namespace {

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCrcRequest = 'C';
constexpr uint32_t kDataSize = 128;
constexpr uint32_t kBlockSize = 3 + kDataSize + 2;
constexpr int kByteTimeoutMs = 1000;  // also the interval of repeated 'C'
constexpr int kMaxStartTries = 10;    // seconds of silence before the sender is given up
constexpr int kMaxErrors = 10;        // consecutive bad or missing blocks

constexpr std::array<uint16_t, 256> makeCrc16Table() {
    std::array<uint16_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 8;
        for (int bit = 0; bit < 8; ++bit) c = (c & 0x8000u) ? (c << 1) ^ 0x1021u : c << 1;
        table[i] = static_cast<uint16_t>(c);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrc16Table = makeCrc16Table();

void sendByte(PtyLink& link, uint8_t b) { link.write(&b, 1); }

enum class BlockVerdict { GOOD, REPEAT, BAD };

BlockVerdict judge(const uint8_t* blk, uint8_t expected) {
    const uint16_t crc = static_cast<uint16_t>((blk[131] << 8) | blk[132]);
    if (uint8_t(blk[1] + blk[2]) != 0xFF || xmodemCrc16(blk + 3, kDataSize) != crc) return BlockVerdict::BAD;
    if (blk[1] == expected) return BlockVerdict::GOOD;
    // Our ACK got lost and the sender repeats the previous block.
    if (blk[1] == uint8_t(expected - 1)) return BlockVerdict::REPEAT;
    return BlockVerdict::BAD;
}

// Reads the rest of a block after its SOH; false when the sender paused mid-block.
bool readBlockBody(PtyLink& link, uint8_t* blk) {
    for (uint32_t i = 1; i < kBlockSize; ++i) {
        const int b = link.readByte(kByteTimeoutMs);
        if (b == PtyLink::kTimedOut) return false;
        blk[i] = static_cast<uint8_t>(b);
    }
    return true;
}

}  // namespace

uint16_t xmodemCrc16(const uint8_t* data, size_t len) {
    uint16_t c = 0;
    for (size_t i = 0; i < len; ++i) c = static_cast<uint16_t>((c << 8) ^ kCrc16Table[((c >> 8) ^ data[i]) & 0xFFu]);
    return c;
}

bool xmodemReceive(PtyLink& link, uint32_t count, const XmodemFaults& faults,
                   const std::function<void(uint32_t, const uint8_t*, uint32_t)>& store) {
    uint8_t blk[kBlockSize];
    uint8_t expected = 1;
    uint32_t received = 0;
    bool started = false;  // the sender has answered our 'C'
    int silentTries = 0, errors = 0;

    if (!faults.neverSendC) sendByte(link, kCrcRequest);
    for (;;) {
        const int b = link.readByte(kByteTimeoutMs);
        if (b == PtyLink::kTimedOut) {
            if (!started) {
                if (++silentTries >= kMaxStartTries) return false;
                if (!faults.neverSendC) sendByte(link, kCrcRequest);
                continue;
            }
            if (++errors >= kMaxErrors) return false;
            sendByte(link, kNak);
            continue;
        }
        if (b == kEot) {
            sendByte(link, kAck);
            return true;
        }
        if (b != kSoh) continue;  // line noise between blocks
        started = true;
        blk[0] = kSoh;
        const bool whole = readBlockBody(link, blk);
        const BlockVerdict verdict = whole ? judge(blk, expected) : BlockVerdict::BAD;
        if (verdict == BlockVerdict::BAD || (faults.refuseBlock && faults.refuseBlock())) {
            if (++errors >= kMaxErrors) return false;
            sendByte(link, kNak);
            continue;
        }
        errors = 0;
        if (verdict == BlockVerdict::GOOD) {
            const uint32_t keep = std::min(kDataSize, count - received);
            if (keep > 0) store(received, blk + 3, keep);
            received += keep;
            ++expected;
        }
        sendByte(link, kAck);
    }
}

}  // namespace sim
