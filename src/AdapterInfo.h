// The info (-i) and reset (-R) blocks of the device road.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ActionBlock.h"
#include "SambaXcon.h"

// Identity words in the adapter's flash.
constexpr uint32_t kAddrBoardId = 0x00000FF4;    // bits 0-15 PCB version, 16-23 board letter
constexpr uint32_t kAddrSerialLo = 0x00000FF8;   // serial number, characters 0-3
constexpr uint32_t kAddrSerialHi = 0x00000FFC;   // serial number, characters 4-7
constexpr uint32_t kAddrFwVersion = 0x0001EFF0;  // firmware version, ROM version, Pre0
constexpr uint32_t kAddrFwType = 0x0001EFF4;     // Pre1, installed firmware type letter
constexpr uint32_t kAddrAdj = 0x0001F188;        // ADJ value in bits 8-15
constexpr uint32_t kSerialNumberSize = 8;        // bytes from kAddrSerialLo on

// The installed firmware's type letter ('C', 'E') in the word at kAddrFwType.
constexpr uint8_t installedTypeLetter(uint32_t typeWord)
{
    return static_cast<uint8_t>(typeWord >> 8);
}
// The type letter of an application area left erased or partly written:
// an update writes the type word, near the area's end, among its last.
constexpr uint8_t kNoFirmwareLetter = 0xFF;

// The serial number as the info block shows it: the eight bytes from
// kAddrSerialLo, up to the first 0 byte. Monitor failures propagate as
// SambaError.
std::string adapterSerialNumber(Samba& samba);

// The serial number the last adapterSerialNumber read ("" before any), so
// a front end that outlives a run can name what it keeps of that adapter.
const std::string& lastAdapterSerialNumber();

// What the info block reads: the monitor's version and the adapter's
// identity words, as numbers and text before any escaping.
struct AdapterIdentity {
    std::string bootloaderVersion;
    std::string serialNumber;  // as adapterSerialNumber reads it
    unsigned pcbVersion = 0;
    unsigned firmwareVersion = 0;
    unsigned romVersion = 0;
    unsigned pre0 = 0;
    unsigned pre1 = 0;
    uint8_t typeLetter = 0;  // kNoFirmwareLetter without firmware
    unsigned adj = 0;
};

// The lines the info block prints for `identity`, without line ends, the
// text in them made printable.
std::vector<std::string> adapterIdentityLines(const AdapterIdentity& identity);

// The identity the last info block read in full; all empty before any.
const AdapterIdentity& lastAdapterIdentity();

// Prints the monitor's version and the adapter's identity words
// (adapterIdentityLines), then the time taken; an adapter without firmware (kNoFirmwareLetter) gets the way
// back -f names in that state, its file FILE (offerWayBack). Monitor
// failures propagate as SambaError. Always completes.
BlockResult adapterInfo(Samba& samba);

// Has the client reset the adapter's processor (it prints "CPU reset.").
// Always completes.
BlockResult adapterReset(Samba& samba);
