#include "SettingsRecord.h"

#include <cstring>

#include "eeprom.h"

namespace {

uint16_t get16(const uint8_t* bytes)
{
    return uint16_t(bytes[0] | bytes[1] << 8);
}

void put16(uint8_t* bytes, uint16_t value)
{
    bytes[0] = uint8_t(value);
    bytes[1] = uint8_t(value >> 8);
}

bool isLensNumber(int number)
{
    return number >= 1 && number <= kMaxLensRecords;
}

} // namespace

int8_t EEPROM_LENS_SPEC::* const kAfFields[kAfFieldCount] = {
    &EEPROM_LENS_SPEC::af_full_range,
    &EEPROM_LENS_SPEC::af_tele_end,
    &EEPROM_LENS_SPEC::af_middle_end,
    &EEPROM_LENS_SPEC::af_wide_end,
};

SettingsSignature classifySignature(const uint8_t* signature)
{
    if (std::memcmp(signature, kCurrentSignature, kSignatureSize) == 0)
        return SettingsSignature::Current;
    if (std::memcmp(signature, kOldSignature, kSignatureSize) == 0)
        return SettingsSignature::Old;
    return SettingsSignature::Unknown;
}

bool isAfDefault(int8_t stored)
{
    return stored == kAfDefault;
}

bool isAfValueInRange(int value)
{
    return value >= kAfMin && value <= kAfMax;
}

int8_t encodeAfCorrection(int value)
{
    return int8_t(value >= 0 ? value : value - 1);
}

int decodeAfCorrection(int8_t stored)
{
    return stored >= 0 ? stored : stored + 1;
}

EF_LENS_CTRL lensCtrlFromBytes(const uint8_t* bytes)
{
    EF_LENS_CTRL ctrl;
    ctrl.last_ef_lens_id = get16(bytes + 0);
    ctrl.last_ef_lens_usm = get16(bytes + 2);
    ctrl.lens_num_used = bytes[4];
    ctrl.lens_next_index = bytes[5];
    return ctrl;
}

void lensCtrlToBytes(const EF_LENS_CTRL& ctrl, uint8_t* bytes)
{
    put16(bytes + 0, ctrl.last_ef_lens_id);
    put16(bytes + 2, ctrl.last_ef_lens_usm);
    bytes[4] = ctrl.lens_num_used;
    bytes[5] = ctrl.lens_next_index;
}

EEPROM_LENS_SPEC lensSpecFromBytes(const uint8_t* bytes)
{
    EEPROM_LENS_SPEC lens;
    lens.lens_id = get16(bytes + 0);
    lens.focal_wide = get16(bytes + 2);
    lens.focal_tele = get16(bytes + 4);
    lens.known_lens_table_index = get16(bytes + 6);
    lens.rom_version = bytes[8];
    lens.lens_type = bytes[9];
    lens.max_usm = get16(bytes + 10);
    lens.af_full_range = int8_t(bytes[12]);
    lens.af_wide_end = int8_t(bytes[13]);
    lens.af_middle_end = int8_t(bytes[14]);
    lens.af_tele_end = int8_t(bytes[15]);
    std::memcpy(lens.future_extension, bytes + 16, sizeof lens.future_extension);
    return lens;
}

void lensSpecToBytes(const EEPROM_LENS_SPEC& lens, uint8_t* bytes)
{
    put16(bytes + 0, lens.lens_id);
    put16(bytes + 2, lens.focal_wide);
    put16(bytes + 4, lens.focal_tele);
    put16(bytes + 6, lens.known_lens_table_index);
    bytes[8] = lens.rom_version;
    bytes[9] = lens.lens_type;
    put16(bytes + 10, lens.max_usm);
    bytes[12] = uint8_t(lens.af_full_range);
    bytes[13] = uint8_t(lens.af_wide_end);
    bytes[14] = uint8_t(lens.af_middle_end);
    bytes[15] = uint8_t(lens.af_tele_end);
    std::memcpy(bytes + 16, lens.future_extension, sizeof lens.future_extension);
}

uint16_t lensSpecOffset(int number)
{
    return uint16_t(kLensTableOffset + sizeof(EEPROM_LENS_SPEC) * (number - 1));
}

status_code readSignature(uint8_t* signature)
{
    return eeprom_emulator_read_buffer(kSignatureOffset, signature, kSignatureSize);
}

status_code readLensCtrl(EF_LENS_CTRL* ctrl)
{
    uint8_t bytes[sizeof(EF_LENS_CTRL)];
    status_code status = eeprom_emulator_read_buffer(kLensCtrlOffset, bytes, sizeof bytes);
    if (status == STATUS_OK)
        *ctrl = lensCtrlFromBytes(bytes);
    return status;
}

status_code readLensSpec(int number, EEPROM_LENS_SPEC* lens)
{
    if (!isLensNumber(number))
        return STATUS_ERR_BAD_ADDRESS;
    uint8_t bytes[sizeof(EEPROM_LENS_SPEC)];
    status_code status = eeprom_emulator_read_buffer(lensSpecOffset(number), bytes, sizeof bytes);
    if (status == STATUS_OK)
        *lens = lensSpecFromBytes(bytes);
    return status;
}

status_code writeLensSpec(int number, const EEPROM_LENS_SPEC& lens)
{
    if (!isLensNumber(number))
        return STATUS_ERR_BAD_ADDRESS;
    uint8_t bytes[sizeof(EEPROM_LENS_SPEC)];
    lensSpecToBytes(lens, bytes);
    status_code status = eeprom_emulator_write_buffer(lensSpecOffset(number), bytes, sizeof bytes);
    eeprom_emulator_commit_page_buffer();
    return status;
}

AfCorrections lensCorrections(const EEPROM_LENS_SPEC& lens)
{
    AfCorrections stored;
    for (int i = 0; i < kAfFieldCount; ++i)
        stored[i] = lens.*kAfFields[i];
    return stored;
}

status_code writeLensCorrections(int number, const AfCorrections& stored)
{
    EEPROM_LENS_SPEC lens;
    status_code status = readLensSpec(number, &lens);
    if (status != STATUS_OK)
        return status;
    for (int i = 0; i < kAfFieldCount; ++i)
        lens.*kAfFields[i] = stored[i];
    return writeLensSpec(number, lens);
}
