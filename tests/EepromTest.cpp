// The EEPROM emulator over the flash model: formatting, page versions and
// row moves, master page and duplicate-row checks, buffer access, and the
// treatment of damaged images.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "SettingsImage.h"

namespace {

constexpr int kMasterPage = 63;
constexpr int kLogicalPages = 28;
constexpr size_t kEepromSize = kLogicalPages * 60;

using Page = std::array<uint8_t, 60>;

Page filled(uint8_t value)
{
    Page page;
    page.fill(value);
    return page;
}

Page readPage(uint8_t logical)
{
    Page page{};
    EXPECT_EQ(eeprom_emulator_read_page(logical, page.data()), STATUS_OK);
    return page;
}

bool rowIsErased(int row)
{
    for (int i = row * 256; i < row * 256 + 256; ++i) {
        if (g_eeprom[i] != 0xFF)
            return false;
    }
    return true;
}

const uint8_t kMasterBytes[16] = {0x45, 0x45, 0x74, 0x41, 0x4D, 0x4F, 0x52, 0x50,
                                  0x2E, 0x75, 0x6D, 0x45, 1, 0, 0, 1};

class Emulator : public SettingsImageTest {};

TEST_F(Emulator, RefusesEveryAccessBeforeInitialisation)
{
    uint8_t data[60] = {};
    eeprom_emulator_parameters parameters;
    EXPECT_EQ(eeprom_emulator_get_parameters(&parameters), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_read_page(0, data), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_write_page(0, data), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_read_buffer(0, data, 4), STATUS_ERR_NOT_INITIALIZED);
    EXPECT_EQ(eeprom_emulator_write_buffer(0, data, 4), STATUS_ERR_NOT_INITIALIZED);
    eeprom_emulator_erase_memory();  // without a geometry there is nothing to format
    EXPECT_EQ(eeprom_dirty, 0);
    EXPECT_EQ(g_eeprom[256], 0xFF);
}

TEST_F(Emulator, BlankImageFailsAndFormatsToTheExactLayout)
{
    EXPECT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
    EXPECT_EQ(eeprom_dirty, 0);
    eeprom_emulator_erase_memory();
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);

    EXPECT_TRUE(rowIsErased(0));
    for (int row = 1; row <= 14; ++row) {
        for (int i = 0; i < 2; ++i) {
            const uint8_t* p = page(row * 4 + i);
            EXPECT_EQ(p[0], 2 * (row - 1) + i) << row;
            for (int b = 1; b < 64; ++b)
                ASSERT_EQ(p[b], 0xFF) << row << ' ' << i << ' ' << b;
        }
        for (int b = (row * 4 + 2) * 64; b < (row + 1) * 256; ++b)
            ASSERT_EQ(g_eeprom[b], 0xFF) << row;
    }
    for (int b = 15 * 256; b < kMasterPage * 64; ++b)
        ASSERT_EQ(g_eeprom[b], 0xFF) << b;
    EXPECT_EQ(std::memcmp(page(kMasterPage), kMasterBytes, sizeof kMasterBytes), 0);
    for (int b = 16; b < 64; ++b)
        ASSERT_EQ(page(kMasterPage)[b], 0xFF);
    for (size_t b = 4096; b < kFlashImageSize; ++b)
        ASSERT_EQ(g_eeprom[b], 0xFF);

    for (uint8_t l = 0; l < kLogicalPages; ++l)
        EXPECT_EQ(readPage(l), filled(0xFF)) << int(l);
    eeprom_emulator_parameters parameters;
    ASSERT_EQ(eeprom_emulator_get_parameters(&parameters), STATUS_OK);
    EXPECT_EQ(parameters.page_size, 60);
    EXPECT_EQ(parameters.eeprom_number_of_pages, 28);
}

TEST_F(Emulator, ThirdVersionOfAPageMovesItsRowToTheSpare)
{
    formatAndOpen();
    Page one = filled(1), two = filled(2), three = filled(3);
    ASSERT_EQ(eeprom_emulator_write_page(0, one.data()), STATUS_OK);
    EXPECT_EQ(header(6), 0);
    EXPECT_EQ(page(6)[1], 0);  // reserved bytes of a buffer never loaded from flash
    ASSERT_EQ(eeprom_emulator_write_page(0, two.data()), STATUS_OK);
    EXPECT_EQ(header(7), 0);
    EXPECT_EQ(readPage(0), two);

    ASSERT_EQ(eeprom_emulator_write_page(0, three.data()), STATUS_OK);
    EXPECT_EQ(header(0), 0);
    EXPECT_EQ(std::memcmp(page(0) + 4, three.data(), 60), 0);
    EXPECT_EQ(header(1), 1);
    EXPECT_EQ(page(1)[1], 0xFF);  // copied whole from page 5
    EXPECT_TRUE(rowIsErased(1));
    EXPECT_EQ(_eeprom_instance.spare_row, 1);
    EXPECT_EQ(readPage(0), three);
    EXPECT_EQ(readPage(1), filled(0xFF));

    // The reopened image agrees.
    eeprom_emulator_commit_page_buffer();
    _eeprom_instance = _eeprom_module{};
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    EXPECT_EQ(_eeprom_instance.spare_row, 1);
    EXPECT_EQ(readPage(0), three);
}

TEST_F(Emulator, RowMoveCarriesTheNewestVersionOfTheOtherPage)
{
    formatAndOpen();
    ASSERT_EQ(eeprom_emulator_write_page(1, filled(0x55).data()), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_write_page(0, filled(1).data()), STATUS_OK);
    EXPECT_EQ(header(6), 1);
    EXPECT_EQ(header(7), 0);
    ASSERT_EQ(eeprom_emulator_write_page(0, filled(2).data()), STATUS_OK);
    EXPECT_EQ(std::memcmp(page(1) + 4, filled(0x55).data(), 60), 0);
    EXPECT_EQ(readPage(0), filled(2));
    EXPECT_EQ(readPage(1), filled(0x55));
}

TEST_F(Emulator, MasterPageVersionRules)
{
    formatAndOpen();
    const auto formatted = snapshot();
    auto withMasterByte = [&](int offset, uint8_t value) {
        std::memcpy(g_eeprom, formatted.data(), kFlashImageSize);
        g_eeprom[kMasterPage * 64 + offset] = value;
        _eeprom_instance = _eeprom_module{};
        return eeprom_emulator_init();
    };
    EXPECT_EQ(withMasterByte(14, 5), STATUS_OK);       // revision
    EXPECT_EQ(withMasterByte(40, 0), STATUS_OK);       // reserved
    EXPECT_EQ(withMasterByte(13, 1), STATUS_ERR_IO);   // minor version
    EXPECT_EQ(withMasterByte(12, 2), STATUS_ERR_IO);   // major version
    EXPECT_EQ(withMasterByte(15, 0), STATUS_ERR_IO);   // emulator id
    EXPECT_EQ(withMasterByte(11, 0x44), STATUS_ERR_BAD_FORMAT);  // magic
    EXPECT_FALSE(_eeprom_instance.initialized);
}

TEST_F(Emulator, ImageWithoutSpareRowIsBadFormat)
{
    formatAndOpen();
    // Rows 0 and 15 (whose free pages would serve) both carry a page now.
    g_eeprom[0] = 27;
    g_eeprom[61 * 64] = 25;
    _eeprom_instance = _eeprom_module{};
    EXPECT_EQ(eeprom_emulator_init(), STATUS_ERR_BAD_FORMAT);
}

TEST_F(Emulator, DuplicateRowsLoseTheStaleCopy)
{
    formatAndOpen();
    const auto formatted = snapshot();
    // Rows 3 and 9 both start with logical page 4; a full row 3 is the old
    // one of an interrupted move.
    g_eeprom[9 * 256] = 4;
    g_eeprom[14 * 64] = 4;
    _eeprom_instance = _eeprom_module{};
    eeprom_dirty = 0;
    EXPECT_EQ(eeprom_emulator_init(), STATUS_OK);
    EXPECT_TRUE(rowIsErased(3));
    EXPECT_EQ(header(36), 4);
    EXPECT_EQ(eeprom_dirty, 1);

    // Row 3 not full: row 9 is the unfinished copy.
    std::memcpy(g_eeprom, formatted.data(), kFlashImageSize);
    g_eeprom[9 * 256] = 4;
    _eeprom_instance = _eeprom_module{};
    EXPECT_EQ(eeprom_emulator_init(), STATUS_OK);
    EXPECT_TRUE(rowIsErased(9));
    EXPECT_EQ(header(12), 4);
}

class EmulatorBuffer : public SettingsImageTest {
protected:
    void SetUp() override
    {
        SettingsImageTest::SetUp();
        formatAndOpen();
        eeprom_dirty = 0;
    }
};

TEST_F(EmulatorBuffer, WritesTouchExactlyThePagesOfTheirRange)
{
    uint8_t data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = uint8_t(i);
    const auto before = snapshot();
    ASSERT_EQ(eeprom_emulator_write_buffer(120, data, 20), STATUS_OK);
    eeprom_emulator_commit_page_buffer();
    const auto after = snapshot();
    for (size_t b = 0; b < kFlashImageSize; ++b) {
        if (b / 64 != 10) {
            ASSERT_EQ(before[b], after[b]) << b;  // only logical page 2's new version
        }
    }

    ASSERT_EQ(eeprom_emulator_write_buffer(55, data, 10), STATUS_OK);
    eeprom_emulator_commit_page_buffer();
    uint8_t back[70];
    ASSERT_EQ(eeprom_emulator_read_buffer(50, back, 70), STATUS_OK);
    for (int i = 0; i < 70; ++i) {
        uint8_t expected = (i >= 5 && i < 15) ? data[i - 5] : 0xFF;
        ASSERT_EQ(back[i], expected) << i;
    }
    EXPECT_EQ(header(6), 0);
    EXPECT_EQ(header(7), 1);
}

TEST_F(EmulatorBuffer, ZeroLengthsCopyNothing)
{
    uint8_t data[1] = {0x42};
    ASSERT_EQ(eeprom_emulator_write_buffer(61, data, 0), STATUS_OK);
    EXPECT_EQ(eeprom_dirty, 0);
    // At a page boundary the page is rewritten with its own content.
    ASSERT_EQ(eeprom_emulator_write_buffer(60, data, 0), STATUS_OK);
    EXPECT_EQ(eeprom_dirty, 1);
    EXPECT_EQ(header(6), 1);
    EXPECT_EQ(readPage(1), filled(0xFF));
    EXPECT_EQ(eeprom_emulator_read_buffer(0, data, 0), STATUS_OK);
    EXPECT_EQ(data[0], 0x42);
}

TEST_F(EmulatorBuffer, RangesPastTheEndFailAfterTheBytesBeforeIt)
{
    uint8_t data[20];
    std::memset(data, 0xAB, sizeof data);
    EXPECT_EQ(eeprom_emulator_read_buffer(1680, data, 1), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(data[0], 0xAB);
    EXPECT_EQ(eeprom_emulator_read_buffer(1675, data, 10), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(data[4], 0xFF);
    EXPECT_EQ(data[5], 0xAB);

    std::memset(data, 0x11, sizeof data);
    EXPECT_EQ(eeprom_emulator_write_buffer(1670, data, 20), STATUS_ERR_BAD_ADDRESS);
    eeprom_emulator_commit_page_buffer();
    EXPECT_EQ(readPage(27)[59], 0x11);

    // Offsets whose page number exceeds 8 bits must not wrap onto page 0.
    const auto before = snapshot();
    EXPECT_EQ(eeprom_emulator_write_buffer(256 * 60, data, 20), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(eeprom_emulator_write_page(28, data), STATUS_ERR_BAD_ADDRESS);
    EXPECT_EQ(before, snapshot());
}

TEST_F(EmulatorBuffer, ReadsOfTheActivePageComeFromTheBuffer)
{
    Page data = filled(0x3C);
    ASSERT_EQ(eeprom_emulator_write_page(5, data.data()), STATUS_OK);
    g_eeprom[_eeprom_instance.page_map[5] * 64 + 10] = 0;  // flash differs from the buffer
    EXPECT_EQ(readPage(5), data);
    eeprom_emulator_commit_page_buffer();
    EXPECT_EQ(readPage(5)[6], 0);
}

// Random writes and commits against a plain array: the emulated content must
// always match it, also after reopening the saved image.
TEST_F(EmulatorBuffer, RandomWritesMatchAPlainArray)
{
    std::mt19937 random(20261207);
    std::vector<uint8_t> model(kEepromSize, 0xFF), back(kEepromSize);
    for (int step = 0; step < 3000; ++step) {
        uint16_t offset = uint16_t(random() % kEepromSize);
        uint16_t length = uint16_t(random() % std::min<size_t>(200, kEepromSize - offset + 1));
        std::vector<uint8_t> data(length);
        for (auto& b : data)
            b = uint8_t(random());
        ASSERT_EQ(eeprom_emulator_write_buffer(offset, data.data(), length), STATUS_OK) << step;
        std::copy(data.begin(), data.end(), model.begin() + offset);
        if (random() % 3 == 0)
            eeprom_emulator_commit_page_buffer();
        ASSERT_EQ(eeprom_emulator_read_buffer(0, back.data(), kEepromSize), STATUS_OK);
        ASSERT_EQ(back, model) << "step " << step;
        ASSERT_LT(_eeprom_instance.spare_row, 15);
        ASSERT_TRUE(rowIsErased(_eeprom_instance.spare_row)) << step;
    }
    eeprom_emulator_commit_page_buffer();

    const auto saved = snapshot();
    resetSettingsImage();
    std::memcpy(g_eeprom, saved.data(), kFlashImageSize);
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_read_buffer(0, back.data(), kEepromSize), STATUS_OK);
    EXPECT_EQ(back, model);
    EXPECT_EQ(eeprom_dirty, 0);  // a healthy image needs no repair on opening
}

// Damaged images: a row move that would misuse the map or the master row is
// refused and leaves the image as it was.
class DamagedImage : public EmulatorBuffer {
protected:
    // Fills row 1 with versions of logical page 0 so the next write must move it.
    void fillRowOne()
    {
        ASSERT_EQ(eeprom_emulator_write_page(0, filled(1).data()), STATUS_OK);
        ASSERT_EQ(eeprom_emulator_write_page(0, filled(2).data()), STATUS_OK);
        eeprom_emulator_commit_page_buffer();
    }

    void expectMoveRefused(uint8_t logical)
    {
        _eeprom_instance = _eeprom_module{};
        ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
        const auto before = snapshot();
        EXPECT_EQ(eeprom_emulator_write_page(logical, filled(9).data()), STATUS_ERR_BAD_FORMAT);
        eeprom_emulator_commit_page_buffer();
        EXPECT_EQ(before, snapshot());
        for (uint8_t entry : _eeprom_instance.page_map)
            ASSERT_LT(entry, kMasterPage);
    }
};

TEST_F(DamagedImage, RowWithoutTwoDistinctPagesIsNotMoved)
{
    fillRowOne();
    g_eeprom[5 * 64] = 0;  // page 1 of the row names logical page 0 too
    expectMoveRefused(0);
}

TEST_F(DamagedImage, RowNamingAnOutOfRangePageIsNotMoved)
{
    fillRowOne();
    g_eeprom[5 * 64] = 0x90;
    expectMoveRefused(0);
    g_eeprom[5 * 64] = 0xFF;
    expectMoveRefused(0);
}

TEST_F(DamagedImage, PageWithoutAHomeIsNotWrittenIntoTheSpareRow)
{
    g_eeprom[57 * 64] = 0xFF;  // logical page 27 vanished; its map entry is stale
    expectMoveRefused(27);
    EXPECT_TRUE(rowIsErased(0));
}

TEST_F(DamagedImage, TheMasterRowIsNeverMoved)
{
    g_eeprom[60 * 64] = 27;  // a version of logical page 27 in the master row
    _eeprom_instance = _eeprom_module{};
    ASSERT_EQ(eeprom_emulator_init(), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_write_page(27, filled(1).data()), STATUS_OK);
    ASSERT_EQ(eeprom_emulator_write_page(27, filled(2).data()), STATUS_OK);
    eeprom_emulator_commit_page_buffer();
    EXPECT_EQ(header(62), 27);
    expectMoveRefused(27);
    EXPECT_EQ(std::memcmp(page(kMasterPage), kMasterBytes, sizeof kMasterBytes), 0);
}

} // namespace
