// The settings record: corrections, signatures, record bytes, the
// built-in image rebuilt with the emulator, and the lens editor over it.
#include <gtest/gtest.h>

#include "EEPROM_Init.h"
#include "SettingsEditor.h"
#include "SettingsFile.h"
#include "SettingsImage.h"
#include "SettingsRecord.h"

namespace {

TEST(AfCorrection, StoredBytesDecodeAroundTheDefaultMarker)
{
    EXPECT_EQ(decodeAfCorrection(int8_t(0x00)), 0);
    EXPECT_EQ(decodeAfCorrection(int8_t(0x7F)), 127);
    EXPECT_EQ(decodeAfCorrection(int8_t(0xFE)), -1);
    EXPECT_EQ(decodeAfCorrection(int8_t(0x80)), -127);
    EXPECT_TRUE(isAfDefault(int8_t(0xFF)));
    EXPECT_FALSE(isAfDefault(int8_t(0xFE)));
}

TEST(AfCorrection, EveryUserValueRoundTripsAndNeverHitsTheMarker)
{
    EXPECT_EQ(uint8_t(encodeAfCorrection(-1)), 0xFE);
    EXPECT_EQ(uint8_t(encodeAfCorrection(-127)), 0x80);
    for (int v = kAfMin; v <= kAfMax; ++v) {
        ASSERT_FALSE(isAfDefault(encodeAfCorrection(v))) << v;
        ASSERT_EQ(decodeAfCorrection(encodeAfCorrection(v)), v);
    }
    EXPECT_FALSE(isAfValueInRange(128));
    EXPECT_FALSE(isAfValueInRange(-128));
}

TEST(Signature, ThreeOutcomes)
{
    EXPECT_EQ(classifySignature(reinterpret_cast<const uint8_t*>("EX02")), SettingsSignature::Current);
    EXPECT_EQ(classifySignature(reinterpret_cast<const uint8_t*>("EX01")), SettingsSignature::Old);
    EXPECT_EQ(classifySignature(reinterpret_cast<const uint8_t*>("EX03")), SettingsSignature::Unknown);
    const uint8_t blank[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(classifySignature(blank), SettingsSignature::Unknown);
}

TEST(RecordBytes, LittleEndianFieldsAtTheirOffsets)
{
    const uint8_t bytes[20] = {0x34, 0x12, 24, 0, 70, 0, 7, 1, 3, 2, 0x00, 0x24,
                               0x05, 0xFE, 0x80, 0xFF, 1, 2, 3, 4};
    EEPROM_LENS_SPEC lens = lensSpecFromBytes(bytes);
    EXPECT_EQ(lens.lens_id, 0x1234);
    EXPECT_EQ(lens.focal_wide, 24);
    EXPECT_EQ(lens.focal_tele, 70);
    EXPECT_EQ(lens.known_lens_table_index, 0x0107);
    EXPECT_EQ(lens.max_usm, 0x2400);
    EXPECT_EQ(lens.af_full_range, 5);
    EXPECT_EQ(lens.af_wide_end, -2);
    EXPECT_EQ(lens.af_middle_end, -128);
    EXPECT_EQ(lens.af_tele_end, -1);
    uint8_t back[20];
    lensSpecToBytes(lens, back);
    EXPECT_EQ(std::memcmp(back, bytes, 20), 0);

    const uint8_t ctrlBytes[6] = {0x01, 0x02, 0x03, 0x04, 5, 6};
    EF_LENS_CTRL ctrl = lensCtrlFromBytes(ctrlBytes);
    EXPECT_EQ(ctrl.last_ef_lens_id, 0x0201);
    EXPECT_EQ(ctrl.last_ef_lens_usm, 0x0403);
    EXPECT_EQ(ctrl.lens_num_used, 5);
    EXPECT_EQ(ctrl.lens_next_index, 6);
}

class LensRecords : public SettingsImageTest {};

TEST_F(LensRecords, OnlyRecordsInsideTheEepromAreReachable)
{
    formatAndOpen();
    EEPROM_LENS_SPEC lens{};
    lens.focal_wide = 50;
    ASSERT_EQ(writeLensSpec(78, lens), STATUS_OK);
    EEPROM_LENS_SPEC back{};
    ASSERT_EQ(readLensSpec(78, &back), STATUS_OK);
    EXPECT_EQ(back.focal_wide, 50);

    const auto before = snapshot();
    back.focal_wide = 99;
    EXPECT_EQ(readLensSpec(79, &back), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(readLensSpec(0, &back), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(back.focal_wide, 99);
    EXPECT_EQ(writeLensSpec(79, lens), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(writeLensSpec(255, lens), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(before, snapshot());
}

TEST_F(LensRecords, BuiltInImageIsTheOldFormatOnAFreshArea)
{
    formatAndOpen();
    ASSERT_EQ(eeprom_emulator_write_buffer(0, reinterpret_cast<const uint8_t*>("EX01"), 4), STATUS_OK);
    const uint8_t zero = 0;
    ASSERT_EQ(eeprom_emulator_write_buffer(120, &zero, 1), STATUS_OK);
    eeprom_emulator_commit_page_buffer();

    ASSERT_EQ(g_myData_Size, 4096u);
    EXPECT_EQ(std::memcmp(g_myData, g_eeprom, g_myData_Size), 0);
    EXPECT_EQ(g_myData[4096], 0);
    // The clearing action's byte is logical offset 5 of page 0's newest version.
    EXPECT_EQ(std::memcmp(g_myData + 388, "EX01", 4), 0);
}

// The editor over a current image holding one 24-70mm lens with all range -5.
class Editor : public SettingsImageTest {
protected:
    void SetUp() override
    {
        SettingsImageTest::SetUp();
        formatAndOpen();
        eeprom_emulator_write_buffer(kSignatureOffset, reinterpret_cast<const uint8_t*>("EX02"), 4);
        EF_LENS_CTRL ctrl{1, 2, 1, 1};
        uint8_t ctrlBytes[sizeof ctrl];
        lensCtrlToBytes(ctrl, ctrlBytes);
        eeprom_emulator_write_buffer(kLensCtrlOffset, ctrlBytes, sizeof ctrlBytes);
        EEPROM_LENS_SPEC lens{7, 24, 70, 0, 0, 0, 0, encodeAfCorrection(-5), -1, -1, -1, {}};
        writeLensSpec(1, lens);
        file.assign(g_eeprom, g_eeprom + 4096);
        ASSERT_EQ(editor.open(file.data(), file.size(), "a.dat"), SettingsOpened::Current);
    }

    std::vector<uint8_t> file;
    SettingsEditor editor;
};

TEST_F(Editor, EntriesAreWholeNumbersInRangeOrEmpty)
{
    const struct {
        const char* typed;
        bool accepted;
        const char* shown;  // the field afterwards
    } cases[] = {
        {"5", true, "5"},       {" -127 ", true, "-127"}, {"+9", true, "9"},   {"0127", true, "127"},
        {"", true, ""},         {"  ", true, ""},         {"128", false, "-5"}, {"-128", false, "-5"},
        {"1.5", false, "-5"},   {"0x1", false, "-5"},     {"--1", false, "-5"}, {"1 2", false, "-5"},
        {"99999999999", false, "-5"},
    };
    for (const auto& c : cases) {
        SetUp();
        EXPECT_EQ(editor.setEntry(1, 0, c.typed), c.accepted) << c.typed;
        EXPECT_EQ(editor.entryText(1, 0), c.shown) << c.typed;
    }
    EXPECT_FALSE(editor.setEntry(2, 0, "1"));
    EXPECT_FALSE(editor.setEntry(1, kAfFieldCount, "1"));
    EXPECT_EQ(editor.focalLength(1), "24-70mm");
}

TEST_F(Editor, SavesTheOpenedBytesUntilSomethingDiffers)
{
    file.resize(5000, 0xA5);  // bytes past the area travel along
    editor.open(file.data(), file.size(), "a.dat");
    EXPECT_EQ(editor.image(), file);
    editor.setEntry(1, 3, "4");
    editor.setEntry(1, 3, "");
    EXPECT_EQ(editor.image(), file);

    editor.setEntry(1, 2, "-1");
    std::vector<uint8_t> saved = editor.image();
    // The page writes to the adapter what it downloads: every build alike,
    // whatever the emulator's page buffer held before.
    std::memset(&_eeprom_instance.cache, 0xFF, sizeof _eeprom_instance.cache);
    EXPECT_EQ(editor.image(), saved);
    ASSERT_EQ(saved.size(), file.size());
    EXPECT_EQ(std::vector<uint8_t>(saved.begin() + 4096, saved.end()),
              std::vector<uint8_t>(file.begin() + 4096, file.end()));
    EXPECT_EQ(editor.open(saved.data(), saved.size(), "a.dat"), SettingsOpened::Current);
    EXPECT_EQ(editor.entryText(1, 0), "-5");
    EXPECT_EQ(editor.entryText(1, 2), "-1");
}

TEST_F(Editor, ChangesReadFromOldToNewAndASaveLeavesNone)
{
    EXPECT_EQ(editor.lensIdText(1), "ID 0x0007");
    EXPECT_FALSE(editor.lastMounted(1));  // the control record names lens ID 1
    editor.setEntry(1, 0, "");
    editor.setEntry(1, 3, "-127");
    EXPECT_EQ(editor.changeCountText(), "2 unsaved changes");
    EXPECT_EQ(editor.changeLines(), (std::vector<std::string>{
                                        "Lens 1 (24-70mm) \u00B7 All range: -5 \u2192 default",
                                        "Lens 1 (24-70mm) \u00B7 3/4 to wide/infinity: default \u2192 -127"}));
    std::vector<uint8_t> saved = editor.image();
    editor.markSaved();
    EXPECT_EQ(editor.changeCount(), 0);
    EXPECT_EQ(editor.image(), saved);
    EXPECT_EQ(editor.lensLines(), (std::vector<std::string>{
                                      "Lens 1 (24-70mm) \u00B7 All range: default \u00B7 Tele/near to 1/2: default "
                                      "\u00B7 1/2 to 3/4: default \u00B7 3/4 to wide/infinity: -127"}));
}

TEST_F(Editor, FileThatIsNoSettingsSavesAsTheWholeFormattedAreaOrNotAtAll)
{
    const std::vector<uint8_t> shortFile(100, 0);
    EXPECT_TRUE(editor.holdsSettings());
    EXPECT_EQ(editor.open(shortFile.data(), shortFile.size(), "x.bin"), SettingsOpened::Formatted);
    EXPECT_FALSE(editor.holdsSettings());  // the page must not write it to an adapter
    EXPECT_EQ(editor.status(), "x.bin is not a valid adapter setting file; a blank setting has been formatted");
    EXPECT_EQ(editor.lensCount(), 0);
    EXPECT_EQ(editor.saveRefusal(), "");
    std::vector<uint8_t> saved = editor.image();
    EXPECT_EQ(saved, std::vector<uint8_t>(g_eeprom, g_eeprom + kSettingsFileSize));
    EXPECT_EQ(saved[0], 0xFF);

    const std::vector<uint8_t> longFile(kFlashImageSize + 1, 0);
    editor.open(longFile.data(), longFile.size(), "app.fw");
    EXPECT_EQ(editor.saveRefusal(), "app.fw is larger than an adapter setting file; it was not changed");
    EXPECT_TRUE(editor.image().empty());
}

} // namespace
