// Validation of a firmware file before anything on the adapter is erased.
//
// File layout (little-endian): "QVLC"/"QVLE" signature, software version,
// load address 0x1000, payload length (a multiple of 64), plain-image
// checksum, settings-handling byte at offset 31, eight PCB versions at
// offset 32, the enciphered payload at offset 48, then the 32-bit byte sum
// of the payload.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr uint32_t kAppAreaAddr = 0x00001000;      // start of the application area
constexpr uint32_t kAppAreaSize = 0x0001E000;      // bytes up to the settings area, the payload's room
constexpr uint32_t kFirmwareLoadAddr = 0x1000;     // the only load address accepted
constexpr uint32_t kFirmwarePayloadOffset = 48;     // file offset of the payload
constexpr uint32_t kFirmwareBlockSize = 64;         // payload granule, bytes
constexpr uint32_t kSigQVLC = 0x434C5651;           // "QVLC" read little-endian
constexpr uint32_t kSigQVLE = 0x454C5651;           // "QVLE" read little-endian

// Failure codes of FirmwareCheck, in the order the file is read.
enum FirmwareCheckCode : int {
    FW_OK = 0,
    FW_ERR_PCB_LIST = -1,      // PCB-version list incomplete
    FW_ERR_SIG_SHORT = -2,     // fewer than 4 bytes
    FW_ERR_SIG = -3,           // neither "QVLC" nor "QVLE"
    FW_ERR_SW_VER = -4,        // software version missing
    FW_ERR_LOAD_ADDR = -5,     // load address missing or not 0x1000
    FW_ERR_SIZE_SHORT = -6,    // payload length missing
    FW_ERR_SIZE_ALIGN = -7,    // payload length not a multiple of 64
    FW_ERR_PLAIN_CKSUM = -8,   // plain-image checksum missing
    FW_ERR_PAYLOAD = -9,       // payload shorter than declared
    FW_ERR_TRAIL_SHORT = -10,  // trailing checksum missing
    FW_ERR_TRAIL = -11,        // payload byte sum differs from trailing checksum
    FW_ERR_SIZE_LARGE = -12,   // payload length past the application area
};

// Reads the whole of `f` (an open binary stream, any position) once, in
// constant memory, and returns FW_OK or the first failing code. Fills
// qvl_sigs, g_sw_ver, g_loader_addr, g_fw_total_size, g_plain_cksum,
// g_eeprom_handle, g_hw_ver and g_enc_cksum as it goes. Leaves `f` just after
// the trailing checksum when valid; never closes it, prints nothing.
int FirmwareCheck(std::FILE* f);
