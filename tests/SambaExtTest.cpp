// The monitor's erase, buffered write, checksum and preparation commands,
// and the settings-area dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

#include "MonitorScript.h"

namespace {

using Ext = UsbSamba;

TEST_F(Ext, EraseSendsTheInverseOfTheClearFlag)
{
    wire->expect("X00001000,1#", "X\r\n");
    EXPECT_TRUE(samba->chipErase(0x1000, 0));
    wire->expect("X00001000,0#", "X\r\n");
    EXPECT_TRUE(samba->chipErase(0x1000, 1));
    wire->expect("X0001F000,0#", "X\r\n");
    EXPECT_TRUE(samba->chipErase(0x1F000, 0x80));
}

TEST_F(Ext, BufferedWriteSendsSecondPhaseOnlyAfterFirstWasConfirmed)
{
    wire->expect("Y20000000,0#", "Y\r\n");
    wire->expect("Y0001F040,00000040#", "Y\r\n");
    EXPECT_TRUE(samba->writeBuffer(0x20000000, 0x1F040, 64));
    EXPECT_EQ(wire->logFrom(),
              "write Y20000000,0#|timeout 100|read 3|timeout 1000|"
              "write Y0001F040,00000040#|timeout 5000|read 3|timeout 1000");

    wire->expect("Y20000000,0#", "N\r\n");
    EXPECT_THROW(samba->writeBuffer(0x20000000, 0x1F040, 64), SambaError);
    wire->expect("Y20000000,0#");
    EXPECT_THROW(samba->writeBuffer(0x20000000, 0x1F040, 64), SambaError);
}

TEST_F(Ext, ChecksumReplyParsing)
{
    wire->expect("Z00001000,0001E000#", "Z00A1B2C3");
    EXPECT_EQ(samba->checksumBuffer(0x1000, 0x1E000), 0x00A1B2C3u);
    wire->expect("Z00001000,0001E000#", "Z00a1b2c3");
    EXPECT_EQ(samba->checksumBuffer(0x1000, 0x1E000), 0x00A1B2C3u);
    wire->expect("Z00001000,0001E000#", "Z1F\r\n#xyz");
    EXPECT_EQ(samba->checksumBuffer(0x1000, 0x1E000), 0x1Fu);
    wire->expect("Z00001000,0001E000#", "ZFFFFFFFF");
    EXPECT_EQ(samba->checksumBuffer(0x1000, 0x1E000), 0xFFFFFFFFu);
    std::vector<std::string> first(wire->log.begin(), wire->log.begin() + 4);
    EXPECT_EQ(first, (std::vector<std::string>{"write Z00001000,0001E000#", "timeout 5000", "read 9",
                                               "timeout 1000"}));
}

TEST_F(Ext, ChecksumReplyWithoutDigitsOrLetterThrows)
{
    wire->expect("Z0001F000,00001000#", "Z ghijklm");
    EXPECT_THROW(samba->checksumBuffer(0x1F000, 0x1000), SambaError);
    wire->expect("Z0001F000,00001000#", " 00A1B2C3");
    EXPECT_THROW(samba->checksumBuffer(0x1F000, 0x1000), SambaError);
    wire->expect("Z0001F000,00001000#", "Z-0000001");
    EXPECT_THROW(samba->checksumBuffer(0x1F000, 0x1000), SambaError);
}

// Each command with its expected answer, for the failure cases all share.
struct ExtCall {
    const char* command;
    char letter;
    int replySize;
    std::function<void(Samba&)> call;
};

std::vector<ExtCall> extCalls()
{
    return {
        {"X00001000,1#", 'X', 3, [](Samba& s) { s.chipErase(0x1000, 0); }},
        {"x#", 'x', 3, [](Samba& s) { s.initD(); }},
        {"Y20000000,0#", 'Y', 3, [](Samba& s) { s.writeBuffer(0x20000000, 0x1000, 64); }},
        {"Z00001000,00000040#", 'Z', 9, [](Samba& s) { s.checksumBuffer(0x1000, 64); }},
    };
}

TEST_F(Ext, MissingOrShortReplyThrowsWithTimeoutRestored)
{
    for (const ExtCall& c : extCalls()) {
        SCOPED_TRACE(c.command);
        wire->clear();
        wire->expect(c.command);
        EXPECT_THROW(c.call(*samba), SambaError);
        EXPECT_EQ(wire->log.back(), "timeout 1000");

        std::string shortReply = std::string(1, c.letter) + std::string(static_cast<size_t>(c.replySize - 2), '0');
        wire->expect(c.command, shortReply);
        EXPECT_THROW(c.call(*samba), SambaError);
        EXPECT_EQ(wire->log.back(), "timeout 1000");
    }
}

TEST_F(Ext, ShortCommandWriteThrowsAndLeavesTimeoutAlone)
{
    for (const ExtCall& c : extCalls()) {
        SCOPED_TRACE(c.command);
        wire->clear();
        wire->expect(c.command, "", 1);
        EXPECT_THROW(c.call(*samba), SambaError);
        EXPECT_EQ(wire->logFrom(), std::string("write ") + c.command);
    }
}

TEST_F(Ext, PreparationWaitsForItsConfirmation)
{
    wire->expect("x#", "x\r\n");
    EXPECT_TRUE(samba->initD());
    EXPECT_EQ(wire->logFrom(), "write x#|timeout 5000|read 3|timeout 1000");
}

TEST_F(Ext, DumpReadsTheSettingsAreaWordByWordInOrder)
{
    std::vector<uint8_t> expected(4096);
    for (uint32_t i = 0; i < 4096; i += 4) {
        char cmd[16];
        std::snprintf(cmd, sizeof cmd, "w%08X,4#", 0x1F000 + i);
        std::string word = le32(0xA0000000u + i);
        wire->expect(cmd, word);
        std::copy(word.begin(), word.end(), expected.begin() + i);
    }
    std::vector<uint8_t> buf(4096);
    EXPECT_TRUE(samba->eepromDump(4096, buf.data()));
    EXPECT_EQ(buf, expected);
}

TEST_F(Ext, DumpOfUnevenSizeStaysInsideTheBuffer)
{
    wire->expect("w0001F000,4#", le32(0x04030201));
    wire->expect("w0001F004,4#", le32(0x08070605));
    std::vector<uint8_t> buf(6);
    EXPECT_TRUE(samba->eepromDump(6, buf.data()));
    EXPECT_EQ(buf, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));

    wire->expect("w0001F000,4#", "ab");
    EXPECT_THROW(samba->eepromDump(6, buf.data()), SambaError);
    wire->input.clear();
}

TEST_F(Ext, DumpFailsWhenAByteFollowsTheLastWord)
{
    for (const std::string& tail : {std::string(""), std::string("\0", 1)}) {
        wire->clear();
        wire->expect("w0001F000,4#", le32(0x04030201) + tail);
        std::vector<uint8_t> buf(4);
        if (tail.empty())
            EXPECT_TRUE(samba->eepromDump(4, buf.data()));
        else
            EXPECT_THROW(samba->eepromDump(4, buf.data()), SambaError);
        EXPECT_EQ(wire->logFrom(), "write w0001F000,4#|read 4|timeout 20|read 1|timeout 1000");
    }
}

TEST(SambaExtUnconnected, CommandsNeedAConnectedMonitor)
{
    Samba samba;
    EXPECT_THROW(samba.chipErase(0x1000, 0), SambaError);
    EXPECT_THROW(samba.writeBuffer(0x20000000, 0x1000, 64), SambaError);
    EXPECT_THROW(samba.checksumBuffer(0x1000, 64), SambaError);
    EXPECT_THROW(samba.initD(), SambaError);
    uint8_t buf[4];
    EXPECT_THROW(samba.eepromDump(4, buf), SambaError);
}

} // namespace
