// The virtual adapter's address space: 128 KiB of flash, a small RAM and the
// few processor registers the tool reads. Not thread-safe; the owner locks.
#pragma once

#include <cstdint>
#include <vector>

#include "SimOptions.h"
#include "FwCodec.h"

namespace sim {

constexpr uint32_t kMonitorAreaEnd = 0x1000;   // the monitor's own flash, never erased or programmed
constexpr uint32_t kPcbWordAddr = 0xFF4;
constexpr uint32_t kSerialAddr = 0xFF8;
constexpr uint32_t kSerialSize = 8;
constexpr uint32_t kAdjWordAddr = 0x1F188;
constexpr uint32_t kCpuIdAddr = 0xE000ED00;
constexpr uint32_t kAircrAddr = 0xE000ED0C;
constexpr uint32_t kDeviceIdAddr = 0x41002018;
constexpr uint32_t kCpuIdValue = 0x410CC601;      // Cortex-M0+, part 0xC60
constexpr uint32_t kAircrReadValue = 0xFA050000;  // what the register reads back
constexpr uint32_t kResetRequest = 0x05FA0004;    // key plus system-reset request
constexpr uint8_t kErased = 0xFF;

class SimMemory {
public:
    SimMemory();

    // Flash contents, exactly kFlashSize bytes.
    const std::vector<uint8_t>& flash() const { return _flash; }
    // Replaces the whole flash; false when `image` is not 128 KiB.
    bool loadFlash(const std::vector<uint8_t>& image);
    // The image a fresh adapter ships with: vectors, identity words, and a
    // settings area holding a few lenses.
    void loadDefaultImage();
    void applyIdentity(const Identity& identity);
    void setDeviceId(uint32_t id) { _deviceId = id; }

    // A byte of the address space; unmapped addresses read 0.
    uint8_t readByte(uint32_t addr) const;
    // Four bytes from `addr`, least significant first.
    uint32_t readWord(uint32_t addr) const;
    // Only RAM takes word writes; elsewhere they are ignored (the reset
    // request is the session's business).
    void writeWord(uint32_t addr, uint32_t value);
    // Stores the bytes that fall into RAM; the rest are dropped.
    void storeBytes(uint32_t addr, const uint8_t* data, uint32_t len);

    // Erases (fills 0xFF) from `addr` to the end of the application area,
    // or to the end of flash when `keepSettings` is false. False, changing
    // nothing, for an address inside the monitor's area or past flash.
    bool erase(uint32_t addr, bool keepSettings);
    // Programs `len` bytes from RAM at `src` into flash at `dst`, which
    // clears bits only, as real flash does. With `decipher`, bytes landing
    // in the application area are deciphered on the way. False, changing
    // nothing, when either range is out of bounds or `dst` lies in the
    // monitor's area.
    bool program(uint32_t dst, uint32_t src, uint32_t len, bool decipher);
    // The monitor checksum over `len` bytes from `addr`, which must lie in
    // flash or in RAM; false otherwise.
    bool checksum(uint32_t addr, uint32_t len, uint32_t& out) const;

private:
    std::vector<uint8_t> _flash;
    std::vector<uint8_t> _ram;
    uint32_t _deviceId = SimOptions::kDefaultDeviceId;
};

}  // namespace sim
