#include "FirmwareCheck.h"

#include "DriverValues.h"

namespace {

constexpr long kSwVerOffset = 4;
constexpr long kLoadAddrOffset = 8;
constexpr long kHandlingOffset = 31;
constexpr int kPcbEntries = 8;

// Reads `width` bytes (at most 4) as a little-endian number; false when the
// file ends first.
bool _readLe(std::FILE* f, int width, uint32_t& value)
{
    uint8_t bytes[4];
    if (std::fread(bytes, 1, width, f) != static_cast<size_t>(width))
        return false;
    value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return true;
}

bool _seek(std::FILE* f, long offset)
{
    return std::fseek(f, offset, SEEK_SET) == 0;
}

int _checkHeader(std::FILE* f)
{
    uint32_t value;
    if (!_seek(f, 0) || !_readLe(f, 4, value))
        return FW_ERR_SIG_SHORT;
    if (value != kSigQVLC && value != kSigQVLE)
        return FW_ERR_SIG;
    qvl_sigs = value;

    if (!_seek(f, kSwVerOffset) || !_readLe(f, 2, value))
        return FW_ERR_SW_VER;
    g_sw_ver = static_cast<uint16_t>(value);

    if (!_seek(f, kLoadAddrOffset) || !_readLe(f, 4, value) || value != kFirmwareLoadAddr)
        return FW_ERR_LOAD_ADDR;
    g_loader_addr = value;

    if (!_readLe(f, 4, value))
        return FW_ERR_SIZE_SHORT;
    if (value % kFirmwareBlockSize != 0)
        return FW_ERR_SIZE_ALIGN;
    // Refused here, so a header claiming gigabytes is not read to its end.
    if (value > kAppAreaSize)
        return FW_ERR_SIZE_LARGE;
    g_fw_total_size = value;

    if (!_readLe(f, 4, value))
        return FW_ERR_PLAIN_CKSUM;
    g_plain_cksum = value;

    // A file ending here fails on the PCB list just after.
    if (_seek(f, kHandlingOffset) && _readLe(f, 1, value))
        g_eeprom_handle = static_cast<uint8_t>(value);

    for (int i = 0; i < kPcbEntries; ++i) {
        if (!_readLe(f, 2, value))
            return FW_ERR_PCB_LIST;
        g_hw_ver[i] = static_cast<uint16_t>(value);
    }
    return FW_OK;
}

} // namespace

int FirmwareCheck(std::FILE* f)
{
    int code = _checkHeader(f);
    if (code != FW_OK)
        return code;

    uint8_t block[kFirmwareBlockSize];
    uint32_t sum = 0;
    for (uint32_t done = 0; done < g_fw_total_size; done += kFirmwareBlockSize) {
        if (std::fread(block, 1, sizeof block, f) != sizeof block)
            return FW_ERR_PAYLOAD;
        for (uint8_t byte : block)
            sum += byte;
    }

    uint32_t trailer;
    if (!_readLe(f, 4, trailer))
        return FW_ERR_TRAIL_SHORT;
    if (trailer != sum)
        return FW_ERR_TRAIL;
    g_enc_cksum = sum;
    return FW_OK;
}
