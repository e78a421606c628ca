// The adapter's settings record inside the emulated EEPROM: a format
// signature, the lens-control record and the table of per-lens records with
// their autofocus corrections. Multi-byte fields are little-endian in the
// image; the converters below make the host's byte order irrelevant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "focus/CorrectionRange.h"
#include "status_codes.h"

struct EF_LENS_CTRL {
    uint16_t last_ef_lens_id;
    uint16_t last_ef_lens_usm;
    uint8_t lens_num_used;    // number of lens records in use
    uint8_t lens_next_index;
};
static_assert(sizeof(EF_LENS_CTRL) == 6, "EF_LENS_CTRL is 6 bytes in the image");
static_assert(offsetof(EF_LENS_CTRL, last_ef_lens_usm) == 2, "layout");
static_assert(offsetof(EF_LENS_CTRL, lens_num_used) == 4, "layout");
static_assert(offsetof(EF_LENS_CTRL, lens_next_index) == 5, "layout");

struct EEPROM_LENS_SPEC {
    uint16_t lens_id;
    uint16_t focal_wide;       // mm
    uint16_t focal_tele;       // mm; equals focal_wide for a fixed focal length
    uint16_t known_lens_table_index;
    uint8_t rom_version;
    uint8_t lens_type;
    uint16_t max_usm;
    int8_t af_full_range;      // autofocus corrections, see encodeAfCorrection
    int8_t af_wide_end;        // 3/4 .. wide/infinity end
    int8_t af_middle_end;      // 1/2 .. 3/4
    int8_t af_tele_end;        // tele/near end .. 1/2
    uint8_t future_extension[4];
};
static_assert(sizeof(EEPROM_LENS_SPEC) == 20, "EEPROM_LENS_SPEC is 20 bytes in the image");
static_assert(offsetof(EEPROM_LENS_SPEC, focal_wide) == 2, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, focal_tele) == 4, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, known_lens_table_index) == 6, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, rom_version) == 8, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, lens_type) == 9, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, max_usm) == 10, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, af_full_range) == 12, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, af_wide_end) == 13, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, af_middle_end) == 14, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, af_tele_end) == 15, "layout");
static_assert(offsetof(EEPROM_LENS_SPEC, future_extension) == 16, "layout");

// Offsets in the emulated EEPROM.
constexpr uint16_t kSignatureOffset = 0;
constexpr uint16_t kSignatureSize = 4;
constexpr uint16_t kLensCtrlOffset = 114;
constexpr uint16_t kLensTableOffset = 120;
constexpr uint16_t kEmulatedEepromSize = 1680;
constexpr int kMaxLensRecords = (kEmulatedEepromSize - kLensTableOffset) / sizeof(EEPROM_LENS_SPEC);
static_assert(kMaxLensRecords == 78, "the lens table fills the rest of the EEPROM");

constexpr char kCurrentSignature[] = "EX02";
constexpr char kOldSignature[] = "EX01";

enum class SettingsSignature { Current, Old, Unknown };

// Classifies the 4 signature bytes.
SettingsSignature classifySignature(const uint8_t* signature);

// Autofocus correction bytes: 0xFF (-1) is "no correction set"; a user
// value v in kAfMin..kAfMax is stored as v when v >= 0, else as v - 1.
constexpr int8_t kAfDefault = -1;

bool isAfDefault(int8_t stored);
bool isAfValueInRange(int value);
// `value` must lie in kAfMin..kAfMax.
int8_t encodeAfCorrection(int value);
// The user value of a stored byte other than kAfDefault.
int decodeAfCorrection(int8_t stored);

// Image bytes <-> records.
EF_LENS_CTRL lensCtrlFromBytes(const uint8_t* bytes);
void lensCtrlToBytes(const EF_LENS_CTRL& ctrl, uint8_t* bytes);
EEPROM_LENS_SPEC lensSpecFromBytes(const uint8_t* bytes);
void lensSpecToBytes(const EEPROM_LENS_SPEC& lens, uint8_t* bytes);

// EEPROM offset of lens record `number` (1-based, 1..kMaxLensRecords).
uint16_t lensSpecOffset(int number);

// Emulator access to the record; results are the emulator's. A record
// number outside 1..kMaxLensRecords gives STATUS_ERR_BAD_ADDRESS and leaves
// `*lens` as it was.
status_code readSignature(uint8_t* signature);
status_code readLensCtrl(EF_LENS_CTRL* ctrl);
status_code readLensSpec(int number, EEPROM_LENS_SPEC* lens);
// Writes the whole record and commits the page buffer.
status_code writeLensSpec(int number, const EEPROM_LENS_SPEC& lens);

// The four correction fields in the order the listing shows them and the
// dialogue asks them: all range, tele/near..1/2, 1/2..3/4, 3/4..wide/infinity.
constexpr int kAfFieldCount = 4;
extern int8_t EEPROM_LENS_SPEC::* const kAfFields[kAfFieldCount];

// A lens's stored correction bytes, in kAfFields order.
using AfCorrections = std::array<int8_t, kAfFieldCount>;
AfCorrections lensCorrections(const EEPROM_LENS_SPEC& lens);

// Tuning one lens: reads record `number`, sets its four corrections to
// `stored` and writes the whole record back through writeLensSpec, also
// when no byte changed. The first failing status of the read or the write.
status_code writeLensCorrections(int number, const AfCorrections& stored);
