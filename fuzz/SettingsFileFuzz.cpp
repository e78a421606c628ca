// Loads arbitrary bytes as a settings file and drives the offline road over
// them: open (formatting when invalid), dump, listing, a scripted tuning
// dialogue, and record writes that force row moves. A write that succeeded
// must read back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "LensTuning.h"
#include "OfflineRoad.h"
#include "SettingsRecord.h"
#include "eeprom.h"
#include "nvm.h"

namespace {

// Tunes lens 1 (two values, an empty line, junk), then lens 2 with out of
// range values, then quits; the input ends inside a third dialogue.
const char kAnswers[] = "1\n5\n-127\n\nabc\n2\n128\n-128\n0x10\n  -1\n3\n7\n";

FILE* nullOutput()
{
    static FILE* out = std::fopen("/dev/null", "w");
    return out;
}

void resetModule(const uint8_t* data, size_t size)
{
    std::memset(g_eeprom, 0xFF, kFlashImageSize);
    if (size > 0)  // an empty input may come without a buffer
        std::memcpy(g_eeprom, data, size < kFlashImageSize ? size : kFlashImageSize);
    eeprom_dirty = 0;
    _eeprom_instance = _eeprom_module{};
}

void checkPageMap()
{
    for (uint8_t entry : _eeprom_instance.page_map) {
        if (entry >= _eeprom_instance.physical_pages && entry != 0)
            std::abort();
    }
}

// Writes record `number` with new corrections and checks the read-back.
void rewriteRecord(int number, int8_t value)
{
    EEPROM_LENS_SPEC lens{};
    if (readLensSpec(number, &lens) != STATUS_OK)
        return;
    lens.af_full_range = value;
    lens.af_tele_end = int8_t(-value);
    if (writeLensSpec(number, lens) != STATUS_OK)
        return;
    EEPROM_LENS_SPEC back{};
    if (readLensSpec(number, &back) != STATUS_OK || std::memcmp(&back, &lens, sizeof lens) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* out = nullOutput();

    resetModule(data, size);
    runSettingsSession(true, stdin, out);
    checkPageMap();

    resetModule(data, size);
    FILE* in = fmemopen(const_cast<char*>(kAnswers), sizeof kAnswers - 1, "r");
    runSettingsSession(false, in, out);
    askToSave(in, out);
    std::fclose(in);
    checkPageMap();

    EF_LENS_CTRL ctrl{};
    if (readLensCtrl(&ctrl) == STATUS_OK) {
        printLensList(ctrl, out);
        int last = ctrl.lens_num_used;
        // Three writes of the same record fill its row and force a move.
        for (int round = 0; round < 3; ++round) {
            rewriteRecord(1, int8_t(round));
            rewriteRecord(last, int8_t(round + 10));
            rewriteRecord(last + 1, int8_t(round + 20));
        }
    }
    uint8_t whole[kEmulatedEepromSize];
    if (eeprom_emulator_read_buffer(7, whole, sizeof whole - 7) == STATUS_OK)
        eeprom_emulator_write_buffer(7, whole, sizeof whole - 7);
    eeprom_emulator_commit_page_buffer();
    checkPageMap();
    return 0;
}
