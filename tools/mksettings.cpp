// Writes the sample settings file shipped in samples/: a formatted settings
// area in the current format with a few lenses, built with the product's own
// EEPROM emulator so that it is exactly what an adapter would hold.
//
// Usage: mksettings OUTPUT
#include <cstdio>
#include <cstring>

#include "SettingsRecord.h"
#include "eeprom.h"
#include "nvm.h"

namespace {

constexpr size_t kSettingsFileSize = 4096;

struct SampleLens {
    uint16_t lensId, wide, tele, tableIndex;
    uint8_t romVersion, lensType;
    uint16_t maxUsm;
    int full, wideEnd, middle, teleEnd;  // user values; kNoValue for default
};

constexpr int kNoValue = 1000;

const SampleLens kLenses[] = {
    {0x0095, 50, 50, 12, 3, 1, 0x2400, 3, kNoValue, kNoValue, kNoValue},
    {0x00A1, 24, 70, 31, 5, 2, 0x3810, kNoValue, 4, -2, 1},
    {0x0064, 100, 100, 40, 2, 1, 0x5200, kNoValue, kNoValue, kNoValue, kNoValue},
    {0x00B7, 70, 200, 52, 7, 2, 0x6A00, -127, 127, 0, -1},
};

int8_t stored(int value)
{
    return value == kNoValue ? kAfDefault : encodeAfCorrection(value);
}

void writeBytes(uint16_t offset, const uint8_t* bytes, uint16_t length)
{
    eeprom_emulator_write_buffer(offset, bytes, length);
    eeprom_emulator_commit_page_buffer();
}

void buildImage()
{
    std::memset(g_eeprom, 0xFF, kFlashImageSize);
    if (eeprom_emulator_init() != STATUS_OK) {
        eeprom_emulator_erase_memory();
        eeprom_emulator_init();
    }
    writeBytes(kSignatureOffset, reinterpret_cast<const uint8_t*>(kCurrentSignature),
               kSignatureSize);

    constexpr int count = sizeof kLenses / sizeof kLenses[0];
    EF_LENS_CTRL ctrl{kLenses[count - 1].lensId, kLenses[count - 1].maxUsm, count, count};
    uint8_t ctrlBytes[sizeof ctrl];
    lensCtrlToBytes(ctrl, ctrlBytes);
    writeBytes(kLensCtrlOffset, ctrlBytes, sizeof ctrlBytes);

    for (int i = 0; i < count; ++i) {
        const SampleLens& s = kLenses[i];
        EEPROM_LENS_SPEC lens{s.lensId, s.wide, s.tele, s.tableIndex, s.romVersion, s.lensType,
                              s.maxUsm, stored(s.full), stored(s.wideEnd), stored(s.middle),
                              stored(s.teleEnd), {0xFF, 0xFF, 0xFF, 0xFF}};
        writeLensSpec(i + 1, lens);
    }
    // A second tuning of the zoom leaves older versions in its row, as on
    // an adapter in use.
    EEPROM_LENS_SPEC zoom;
    readLensSpec(2, &zoom);
    zoom.af_full_range = encodeAfCorrection(-5);
    writeLensSpec(2, zoom);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: mksettings OUTPUT\n");
        return 2;
    }
    buildImage();
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr || std::fwrite(g_eeprom, 1, kSettingsFileSize, out) != kSettingsFileSize ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "mksettings: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
