#include "LensTuning.h"

#include <algorithm>

#include "ConsoleInput.h"
#include "SettingsOpen.h"
#include "eeprom.h"

const char kLensesBeyondFormat[] =
    "Note: %d lenses recorded, only the first %d fit in the adapter setting";

namespace {

constexpr uint16_t kDumpLineSize = 16;

struct AfPrompt {
    const char* set;
    const char* unset;
};

// The dialogue's prompts, in kAfFields order.
const AfPrompt kAfPrompts[kAfFieldCount] = {
    {"\tAF Tune - All range: [%d] , input a value -127 <-> 127, or just enter for default: ",
     "\tAF Tune - All range: [default], input a value -127 <-> 127, or just enter for default: "},
    {"\tRange: TELE/NEAR <-> 1/2 : [%d] , input a value -127 <-> 127, or just enter for default: ",
     "\tRange: TELE/NEAR <-> 1/2 : [default], input a value -127 <-> 127, or just enter for default: "},
    {"\tRange: 1/2 <-> 3/4: [%d] , input a value -127 <-> 127, or just enter for default: ",
     "\tRange: 1/2 <-> 3/4: [default], input a value -127 <-> 127, or just enter for default: "},
    {"\tRange: 3/4 <-> WIDE/INFINITY: [%d] , input a value -127 <-> 127, or just enter for default: ",
     "\tRange: 3/4 <-> WIDE/INFINITY: [default], input a value -127 <-> 127, or just enter for default: "},
};

// Prints one correction of the listing in its set or default form.
void printAf(FILE* out, int8_t stored, const char* set, const char* unset)
{
    if (isAfDefault(stored))
        std::fputs(unset, out);
    else
        std::fprintf(out, set, decodeAfCorrection(stored));
}

void printLensLine(FILE* out, int number, const EEPROM_LENS_SPEC& lens)
{
    if (lens.focal_wide == lens.focal_tele)
        std::fprintf(out, "\t%d.[Lens %3dmm], ", number, lens.focal_wide);
    else
        std::fprintf(out, "\t%d.[Lens %3d-%3dmm], ", number, lens.focal_wide, lens.focal_tele);
    printAf(out, lens.af_full_range, "AF Tune - All range: [%d], ",
            "AF Tune - All range: [default], ");
    printAf(out, lens.af_tele_end, " TELE/NEAR - 1/2: [%d]", " TELE/NEAR - 1/2: [default], ");
    printAf(out, lens.af_middle_end, " 1/2 <-> 3/4: [%d], ", " 1/2 <-> 3/4: [default], ");
    printAf(out, lens.af_wide_end, " 3/4 <-> WIDE/INFINITY: [%d]\n",
            " 3/4 <-> WIDE/INFINITY: [default]\n");
}

// Asks for a lens number; 0 when the answer is not one of the listed lenses.
int askLensNumber(int count, FILE* in, FILE* out)
{
    std::fprintf(out, "Enter 0 to quit, 1-%d to tune a lens: ", count);
    std::fflush(out);
    int lens = 0;
    if (get_int(&lens, in) != 1 || lens < 1 || lens > count)
        return 0;
    return lens;
}

void tuneLens(int number, FILE* in, FILE* out)
{
    EEPROM_LENS_SPEC lens;
    if (readLensSpec(number, &lens) != STATUS_OK)
        return;
    // All four are asked before any is changed, each showing its stored value.
    AfCorrections current = lensCorrections(lens);
    AfCorrections chosen;
    for (int i = 0; i < kAfFieldCount; ++i)
        chosen[i] = askAfCorrection(kAfPrompts[i].set, kAfPrompts[i].unset, current[i], in, out);
    if (writeLensCorrections(number, chosen) != STATUS_OK)
        std::fprintf(out, "Failed in writing lens %d, the adapter setting is damaged\n", number);
    std::fputs("\n", out);
}

} // namespace

int listedLensCount(const EF_LENS_CTRL& ctrl)
{
    return std::min<int>(ctrl.lens_num_used, kMaxLensRecords);
}

void printEepromDump(FILE* out)
{
    for (uint16_t offset = 0; offset < kEmulatedEepromSize; offset += kDumpLineSize) {
        uint8_t line[kDumpLineSize];
        eeprom_emulator_read_buffer(offset, line, kDumpLineSize);
        for (uint8_t byte : line)
            std::fprintf(out, " %02X", byte);
        std::fputs("\n", out);
    }
}

void printLensList(const EF_LENS_CTRL& ctrl, FILE* out)
{
    int count = listedLensCount(ctrl);
    EEPROM_LENS_SPEC lens{};
    for (int number = 1; number <= count; ++number) {
        readLensSpec(number, &lens);
        printLensLine(out, number, lens);
    }
    if (ctrl.lens_num_used > count) {
        std::fprintf(out, kLensesBeyondFormat, ctrl.lens_num_used, count);
        std::fputs("\n", out);
    }
}

int8_t askAfCorrection(const char* promptSet, const char* promptDefault, int8_t current,
                       FILE* in, FILE* out)
{
    if (isAfDefault(current))
        std::fputs(promptDefault, out);
    else
        std::fprintf(out, promptSet, decodeAfCorrection(current));
    std::fflush(out);
    int value = 0;
    if (get_int(&value, in) == 1 && isAfValueInRange(value))
        return encodeAfCorrection(value);
    std::fputs("\tWrong value, set to default value\n", out);
    return kAfDefault;
}

void tuneLenses(const EF_LENS_CTRL& ctrl, FILE* in, FILE* out)
{
    if (ctrl.lens_num_used == 0) {
        std::fprintf(out, "%s\n", kNoLensText);
        return;
    }
    int count = listedLensCount(ctrl);
    for (;;) {
        printLensList(ctrl, out);
        int lens = askLensNumber(count, in, out);
        if (lens == 0)
            return;
        tuneLens(lens, in, out);
    }
}
