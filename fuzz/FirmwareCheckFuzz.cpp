// Any byte string as a firmware file: FirmwareCheck must return one of its
// codes, and a file it accepts must be consistent with what it stored.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "FirmwareCheck.h"
#include "FirmwareUpdate.h"
#include "PelagoXcon.h"

namespace {

bool isKnownCode(int code)
{
    switch (code) {
    case FW_OK:
    case FW_ERR_PCB_LIST:
    case FW_ERR_SIG_SHORT:
    case FW_ERR_SIG:
    case FW_ERR_SW_VER:
    case FW_ERR_LOAD_ADDR:
    case FW_ERR_SIZE_SHORT:
    case FW_ERR_SIZE_ALIGN:
    case FW_ERR_PLAIN_CKSUM:
    case FW_ERR_PAYLOAD:
    case FW_ERR_TRAIL_SHORT:
    case FW_ERR_TRAIL:
    case FW_ERR_SIZE_LARGE:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An in-memory stream keeps the fuzzer fast; it cannot be empty.
    std::FILE* f = size > 0 ? fmemopen(const_cast<uint8_t*>(data), size, "rb") : std::tmpfile();
    if (f == nullptr)
        return 0;
    int code = FirmwareCheck(f);
    std::fclose(f);

    if (!isKnownCode(code))
        std::abort();
    if (code == 0) {
        uint64_t end = 48ull + g_fw_total_size + 4;
        if (g_loader_addr != 0x1000 || g_fw_total_size % 64 != 0 || g_fw_total_size > kAppAreaSize ||
            end > size)
            std::abort();
        if (qvl_sigs != kSigQVLC && qvl_sigs != kSigQVLE)
            std::abort();
        uint32_t sum = 0;
        for (uint32_t i = 0; i < g_fw_total_size; ++i)
            sum += data[48 + i];
        uint32_t trailer = 0;
        for (int i = 3; i >= 0; --i)
            trailer = (trailer << 8) | data[48 + g_fw_total_size + i];
        if (sum != g_enc_cksum || trailer != sum)
            std::abort();
    }
    return 0;
}
