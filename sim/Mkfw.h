// mkfw: turns a plain application image into a firmware file the tool accepts
// and the virtual adapter turns back into that image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FwCodec.h"

namespace sim {

struct MkfwOptions {
    std::string signature = "QVLE";  // four bytes, written as given (cut or NUL-padded)
    uint16_t swVersion = 0x0105;
    uint32_t loadAddress = 0x1000;
    std::vector<uint16_t> pcbVersions{0x01FF};  // at most 8; unused entries are 0x0000
    uint8_t settingsHandling = 0;     // header byte 31
    // With settingsHandling 2: the 4092 bytes after the trailing sum; missing
    // bytes are 0xFF.
    std::vector<uint8_t> settingsImage;
    bool wrongPlainChecksum = false;  // store a checksum that cannot match
    long truncateTo = -1;             // when >= 0, the output is cut to this many bytes
    // Pads the image with 0xFF to the end of the application area and puts
    // the identity words at its top, as a whole firmware image has them;
    // otherwise the image stays as given (up to whole blocks).
    bool wholeArea = false;
    uint32_t firmwareWord = kDefaultFirmwareWord;  // at 0x1EFF0 with wholeArea
    uint8_t typeLetter = kDefaultTypeLetter;       // in the word at 0x1EFF4 with wholeArea
};

struct MkfwResult {
    std::vector<uint8_t> file;
    uint32_t plainChecksum = 0;  // what the adapter's Z gives over the written range
    uint32_t payloadSize = 0;    // the image padded to whole 64-byte blocks
    // The whole application area's checksum after the update, which the tool
    // prints as the "Checksum of Firmware code".
    uint32_t areaChecksum = 0;
};

// Builds the firmware file for `plain` (padded with 0xFF to whole 64-byte
// blocks, or to the whole area). False with `error` set when the options
// cannot be honoured.
bool mkfwBuild(const std::vector<uint8_t>& plain, const MkfwOptions& options, MkfwResult& result,
               std::string& error);

}  // namespace sim
