// Which firmware files an adapter accepts, by board letter and PCB version.
#include <gtest/gtest.h>

#include "FirmwareCheck.h"
#include "FirmwareUpdate.h"

TEST(FirmwareMatch, TypeFollowsTheBoardLetter)
{
    EXPECT_TRUE(firmwareTypeMatches('E', kSigQVLE));
    EXPECT_TRUE(firmwareTypeMatches('C', kSigQVLC));
    EXPECT_FALSE(firmwareTypeMatches('E', kSigQVLC));
    EXPECT_FALSE(firmwareTypeMatches('C', kSigQVLE));
    EXPECT_TRUE(firmwareTypeMatches(0xFF, kSigQVLE));
    EXPECT_TRUE(firmwareTypeMatches(0xFF, kSigQVLC));
    for (uint8_t letter : {uint8_t('X'), uint8_t(0), uint8_t('e'), uint8_t(0xFE)}) {
        EXPECT_FALSE(firmwareTypeMatches(letter, kSigQVLE)) << int(letter);
        EXPECT_FALSE(firmwareTypeMatches(letter, kSigQVLC)) << int(letter);
    }
}

TEST(FirmwareMatch, PcbEntriesMatchExactlyOrByTheirHighByte)
{
    auto matches = [](uint16_t hwver, uint16_t entry) {
        const uint16_t entries[8] = {0x0500, 0x0500, 0x0500, 0x0500, 0x0500, 0x0500, 0x0500, entry};
        return firmwarePcbMatches(hwver, entries);
    };
    EXPECT_TRUE(matches(0x0102, 0x0102));
    EXPECT_TRUE(matches(0x0102, 0x01FF));
    EXPECT_FALSE(matches(0x0102, 0x0103));
    EXPECT_FALSE(matches(0x0102, 0x02FF));
    EXPECT_TRUE(matches(0xFF00, 0xFFFF));
    EXPECT_TRUE(matches(0xFFFF, 0xFFFF));
    EXPECT_FALSE(matches(0xFEFF, 0xFFFF));
    EXPECT_TRUE(matches(0x01FF, 0x01FF));
    EXPECT_FALSE(matches(0x0000, 0x00FE));
}
