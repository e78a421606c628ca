// What the virtual adapter and mkfw must agree on: the payload cipher of the
// application area and the monitor's checksum.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

constexpr uint32_t kAppStart = 0x1000;      // first byte of the application area
constexpr uint32_t kSettingsStart = 0x1F000;  // first byte of the settings area
constexpr uint32_t kFirmwareWordAddr = 0x1EFF0;  // installed firmware: version, ROM version, Pre0
constexpr uint32_t kTypeWordAddr = 0x1EFF4;      // installed firmware: Pre1, type letter in bits 8-15

// The identity words of the firmware a fresh adapter runs; an image from
// mkfw carries the same unless told otherwise.
constexpr uint32_t kDefaultFirmwareWord = 0x01000105;  // version 0x0105, ROM 0x00, Pre0 1
constexpr uint8_t kDefaultTypeLetter = 'E';
constexpr uint32_t kTypeLetterShift = 8;
constexpr uint32_t kVersionMask = 0xFFFF;  // the version's bits in the firmware word

// Whether bytes programmed at `addr` after "x#" are deciphered.
bool fwIsCiphered(uint32_t addr);
// The cipher is an address-keyed XOR stream, so one function both enciphers
// and deciphers: the byte that lands in flash at `addr` for stored byte `b`
// (unchanged outside the application area).
uint8_t fwCipherByte(uint32_t addr, uint8_t b);

// The monitor's checksum: CRC-32 (reflected, polynomial 0xEDB88320, initial
// and final XOR 0xFFFFFFFF). Feed pieces with fwCrc32Update starting from
// kCrc32Init and finish with fwCrc32Final.
constexpr uint32_t kCrc32Init = 0xFFFFFFFFu;
uint32_t fwCrc32Update(uint32_t crc, const uint8_t* data, size_t len);
inline uint32_t fwCrc32Final(uint32_t crc) { return crc ^ 0xFFFFFFFFu; }
uint32_t fwCrc32(const uint8_t* data, size_t len);

// Sum of the bytes as unsigned values, modulo 2^32 (the file's trailing sum).
uint32_t fwByteSum(const uint8_t* data, size_t len);

}  // namespace sim
