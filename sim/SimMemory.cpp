#include "SimMemory.h"

#include <algorithm>
#include <iterator>

#include "DefaultSettings.h"

namespace sim {

namespace {

constexpr uint32_t kStackTop = kRamBase + kRamSize;
constexpr uint32_t kResetVector = 0x00000199;  // a Thumb address inside the monitor

bool inRange(uint32_t addr, uint32_t len, uint32_t base, uint32_t size) {
    const uint64_t start = addr, end = start + len;
    return start >= base && end <= uint64_t(base) + size;
}

void putWord(std::vector<uint8_t>& mem, uint32_t addr, uint32_t value) {
    for (uint32_t i = 0; i < 4; ++i) mem[addr + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t getWord(const std::vector<uint8_t>& mem, uint32_t addr) {
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4; ++i) value |= uint32_t(mem[addr + i]) << (8 * i);
    return value;
}

}  // namespace

SimMemory::SimMemory() : _flash(kFlashSize, kErased), _ram(kRamSize, 0) {}

bool SimMemory::loadFlash(const std::vector<uint8_t>& image) {
    if (image.size() != _flash.size()) return false;
    _flash = image;
    return true;
}

void SimMemory::loadDefaultImage() {
    std::fill(_flash.begin(), _flash.end(), kErased);
    putWord(_flash, 0, kStackTop);
    putWord(_flash, 4, kResetVector);
    std::copy(std::begin(kDefaultSettingsImage), std::end(kDefaultSettingsImage), _flash.begin() + kSettingsStart);
    Identity standard;
    standard.pcbVersion = 0x0102;
    standard.boardLetter = 'E';
    standard.serialNumber = "QE012345";
    standard.firmwareWord = kDefaultFirmwareWord;
    standard.typeWord = uint32_t(kDefaultTypeLetter) << kTypeLetterShift;
    standard.adjWord = 0x00007F00;
    applyIdentity(standard);
}

void SimMemory::applyIdentity(const Identity& identity) {
    if (identity.pcbVersion || identity.boardLetter) {
        uint32_t word = getWord(_flash, kPcbWordAddr);
        if (identity.pcbVersion) word = (word & 0xFFFF0000u) | *identity.pcbVersion;
        if (identity.boardLetter) word = (word & 0xFF00FFFFu) | (uint32_t(*identity.boardLetter) << 16);
        putWord(_flash, kPcbWordAddr, word);
    }
    if (identity.serialNumber) {
        for (uint32_t i = 0; i < kSerialSize; ++i)
            _flash[kSerialAddr + i] =
                i < identity.serialNumber->size() ? static_cast<uint8_t>((*identity.serialNumber)[i]) : 0;
    }
    if (identity.firmwareWord) putWord(_flash, kFirmwareWordAddr, *identity.firmwareWord);
    if (identity.typeWord) putWord(_flash, kTypeWordAddr, *identity.typeWord);
    if (identity.adjWord) putWord(_flash, kAdjWordAddr, *identity.adjWord);
}

uint8_t SimMemory::readByte(uint32_t addr) const {
    if (addr < _flash.size()) return _flash[addr];
    if (inRange(addr, 1, kRamBase, kRamSize)) return _ram[addr - kRamBase];
    return 0;
}

uint32_t SimMemory::readWord(uint32_t addr) const {
    switch (addr) {
        case kCpuIdAddr: return kCpuIdValue;
        case kAircrAddr: return kAircrReadValue;
        case kDeviceIdAddr: return _deviceId;
        default: break;
    }
    uint32_t value = 0;
    for (uint32_t i = 0; i < 4; ++i) value |= uint32_t(readByte(addr + i)) << (8 * i);
    return value;
}

void SimMemory::writeWord(uint32_t addr, uint32_t value) {
    uint8_t bytes[4];
    for (uint32_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    storeBytes(addr, bytes, 4);
}

void SimMemory::storeBytes(uint32_t addr, const uint8_t* data, uint32_t len) {
    for (uint32_t i = 0; i < len; ++i) {
        const uint32_t a = addr + i;
        if (inRange(a, 1, kRamBase, kRamSize)) _ram[a - kRamBase] = data[i];
    }
}

bool SimMemory::erase(uint32_t addr, bool keepSettings) {
    if (addr < kMonitorAreaEnd || addr >= _flash.size()) return false;
    const uint32_t end = keepSettings ? kSettingsStart : kFlashSize;
    if (addr < end) std::fill(_flash.begin() + addr, _flash.begin() + end, kErased);
    return true;
}

bool SimMemory::program(uint32_t dst, uint32_t src, uint32_t len, bool decipher) {
    if (dst < kMonitorAreaEnd || !inRange(dst, len, 0, kFlashSize) ||
        !inRange(src, len, kRamBase, kRamSize))
        return false;
    for (uint32_t i = 0; i < len; ++i) {
        uint8_t b = _ram[src - kRamBase + i];
        if (decipher) b = fwCipherByte(dst + i, b);
        _flash[dst + i] &= b;
    }
    return true;
}

bool SimMemory::checksum(uint32_t addr, uint32_t len, uint32_t& out) const {
    if (inRange(addr, len, 0, kFlashSize)) {
        out = fwCrc32(_flash.data() + addr, len);
        return true;
    }
    if (inRange(addr, len, kRamBase, kRamSize)) {
        out = fwCrc32(_ram.data() + (addr - kRamBase), len);
        return true;
    }
    return false;
}

}  // namespace sim
