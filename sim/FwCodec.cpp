#include "FwCodec.h"

#include <array>

namespace sim {

namespace {

// A position-keyed stream lets the monitor decipher any block on its own,
// whatever order the blocks arrive in.
uint8_t keyByte(uint32_t addr) {
    uint32_t h = (addr >> 2) * 0x9E3779B1u ^ 0x51A7C0DEu;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    h *= 0x297A2D39u;
    h ^= h >> 15;
    return static_cast<uint8_t>(h >> (8 * (addr & 3u)));
}

constexpr std::array<uint32_t, 256> makeCrc32Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrc32Table = makeCrc32Table();

}  // namespace

bool fwIsCiphered(uint32_t addr) { return addr >= kAppStart && addr < kSettingsStart; }

uint8_t fwCipherByte(uint32_t addr, uint8_t b) {
    return fwIsCiphered(addr) ? static_cast<uint8_t>(b ^ keyByte(addr)) : b;
}

uint32_t fwCrc32Update(uint32_t crc, const uint8_t* data, size_t len) {
    for (size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ kCrc32Table[(crc ^ data[i]) & 0xFFu];
    return crc;
}

uint32_t fwCrc32(const uint8_t* data, size_t len) {
    return fwCrc32Final(fwCrc32Update(kCrc32Init, data, len));
}

uint32_t fwByteSum(const uint8_t* data, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i < len; ++i) sum += data[i];
    return sum;
}

}  // namespace sim
