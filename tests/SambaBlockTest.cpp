// Block writes: raw data on USB links, XMODEM-CRC on plain serial links.
#include <gtest/gtest.h>

#include <string>

#include "MonitorScript.h"

namespace {

const std::string kAck = "\x06";
const std::string kNak = "\x15";
const std::string kEot = "\x04";

// Bitwise CRC-16/XMODEM, independent of the client's table.
uint16_t referenceCrc(const std::string& data)
{
    uint16_t crc = 0;
    for (unsigned char byte : data) {
        crc ^= static_cast<uint16_t>(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// The 133-byte block `number` carrying `data` (at most 128 bytes).
std::string xmodemBlock(uint8_t number, const std::string& data)
{
    std::string payload = data + std::string(128 - data.size(), '\0');
    uint16_t crc = referenceCrc(payload);
    std::string blk;
    blk += '\x01';
    blk += static_cast<char>(number);
    blk += static_cast<char>(255 - number);
    blk += payload;
    blk += static_cast<char>(crc >> 8);
    blk += static_cast<char>(crc & 0xFF);
    return blk;
}

std::string pattern(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>((i * 7 + 1) & 0xFF);
    return s;
}

const uint8_t* bytes(const std::string& s)
{
    return reinterpret_cast<const uint8_t*>(s.data());
}

// --- CRC ---

TEST(Crc16, MatchesTheXmodemCheckValueAndTheReference)
{
    const std::string check = "123456789";
    EXPECT_EQ(Samba::crc16Calc(bytes(check), 9), 0x31C3);
    EXPECT_EQ(Samba::crc16Calc(bytes(check), 0), 0);
    EXPECT_EQ(Samba::crc16Calc(bytes(check), -1), 0);
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (int i = 0; i < 256; ++i)  // every table entry is used once here
        ASSERT_EQ(Samba::crc16Calc(bytes(all) + i, 1), referenceCrc(all.substr(i, 1))) << i;
    EXPECT_EQ(Samba::crc16Calc(bytes(all), 256), referenceCrc(all));
}

TEST(Crc16, AddStoresHighByteFirstAfterTheData)
{
    std::string blk = xmodemBlock(1, pattern(128));
    std::string built = blk;
    built[131] = built[132] = 0;
    Samba::crc16Add(reinterpret_cast<uint8_t*>(&built[0]));
    EXPECT_EQ(visible(built), visible(blk));
}

// --- XMODEM on a serial link ---

TEST_F(SerialSamba, SixtyFourBytesGoAsOneZeroFilledBlock)
{
    const std::string data = pattern(64);
    wire->expect("S20000000,00000040#", "C");
    std::string blk = xmodemBlock(1, data);
    ASSERT_EQ(blk.size(), 133u);
    EXPECT_EQ(static_cast<uint8_t>(blk[2]), 0xFE);
    wire->expect(blk, kAck);
    wire->expect(kEot, kAck);
    samba->write(0x20000000, bytes(data), 64);
    EXPECT_EQ(wire->logFrom(), "write S20000000,00000040#|get|write " + visible(blk) + "|get|put \\x04|get");
}

TEST_F(SerialSamba, BlockBoundaries)
{
    const std::string data = pattern(129);
    wire->expect("S00001000,00000080#", "C");
    wire->expect(xmodemBlock(1, data.substr(0, 128)), kAck);
    wire->expect(kEot, kAck);
    samba->write(0x1000, bytes(data), 128);

    wire->expect("S00001000,00000081#", "C");
    wire->expect(xmodemBlock(1, data.substr(0, 128)), kAck);
    wire->expect(xmodemBlock(2, data.substr(128)), kAck);
    wire->expect(kEot, kAck);
    samba->write(0x1000, bytes(data), 129);

    wire->expect("S00001000,00000000#", "C");
    wire->expect(kEot, kAck);
    samba->write(0x1000, bytes(data), 0);
}

TEST_F(SerialSamba, RefusedBlockIsResentUpToFiveTimes)
{
    const std::string data = pattern(64);
    const std::string blk = xmodemBlock(1, data);
    wire->expect("S20000000,00000040#", "C");
    for (int i = 0; i < 4; ++i)
        wire->expect(blk, kNak);
    wire->expect(blk, kAck);
    wire->expect(kEot, kAck);
    samba->write(0x20000000, bytes(data), 64);

    wire->expect("S20000000,00000040#", "C");
    for (int i = 0; i < 4; ++i)
        wire->expect(blk, kNak);
    wire->expect(blk);  // silence counts like a refusal
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
}

TEST_F(SerialSamba, HandshakeAllowsFiveBytesBeforeTheCrcRequest)
{
    const std::string data = pattern(64);
    wire->expect("S20000000,00000040#", kNak + kNak + kNak + kNak + "C");
    wire->expect(xmodemBlock(1, data), kAck);
    wire->expect(kEot, kAck);
    samba->write(0x20000000, bytes(data), 64);

    wire->expect("S20000000,00000040#", kNak + kNak + kNak + kNak + kNak + "C");
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
    EXPECT_EQ(wire->input, "C");
    wire->input.clear();

    wire->expect("S20000000,00000040#");
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
}

TEST_F(SerialSamba, ShortBlockWriteOrUnacknowledgedEndFails)
{
    const std::string data = pattern(64);
    wire->expect("S20000000,00000040#", "C");
    wire->expect(xmodemBlock(1, data), "", 132);
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
    EXPECT_EQ(wire->log.back(), "write " + visible(xmodemBlock(1, data))) << "no retry after a short write";

    wire->expect("S20000000,00000040#", "C");
    wire->expect(xmodemBlock(1, data), kAck);
    for (int i = 0; i < 5; ++i)
        wire->expect(kEot, kNak);
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
}

TEST_F(SerialSamba, BlockNumberWrapsToZeroAtThe256thBlock)
{
    const std::string data = pattern(256 * 128 + 1);
    wire->expect("S20000000,00008001#", "C");
    for (int n = 1; n <= 257; ++n)
        wire->expect(xmodemBlock(static_cast<uint8_t>(n), data.substr(static_cast<size_t>(n - 1) * 128, 128)), kAck);
    wire->expect(kEot, kAck);
    samba->write(0x20000000, bytes(data), static_cast<int>(data.size()));
    std::string blk256 = xmodemBlock(0, data.substr(255 * 128, 128));
    EXPECT_EQ(static_cast<uint8_t>(blk256[2]), 0xFF);
}

TEST_F(SerialSamba, ShortCommandOrNegativeSizeSendsNoData)
{
    const std::string data = pattern(64);
    wire->expect("S20000000,00000040#", "C", 18);
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
    EXPECT_THROW(samba->write(0x20000000, bytes(data), -1), SambaError);
    EXPECT_EQ(wire->logFrom(), "write S20000000,00000040#");
    wire->input.clear();
}

// --- raw data on a USB link ---

TEST_F(UsbSamba, DataFollowsCommandAndFlushAsIs)
{
    const std::string data = pattern(64);
    wire->expect("S20000000,00000040#");
    wire->expect(data);
    samba->write(0x20000000, bytes(data), 64);
    EXPECT_EQ(wire->logFrom(), "write S20000000,00000040#|flush|write " + visible(data));

    wire->expect("S20000000,00000000#");
    samba->write(0x20000000, bytes(data), 0);
    EXPECT_EQ(wire->log.back(), "flush");
}

TEST_F(UsbSamba, PartlyAcceptedDataIsSentOnUntilAllWent)
{
    const std::string data = pattern(64);
    wire->expect("S20000000,00000040#");
    wire->expect(data, "", 20);
    wire->expect(data.substr(20), "", 1);
    wire->expect(data.substr(21));
    samba->write(0x20000000, bytes(data), 64);

    wire->expect("S20000000,00000040#");
    wire->expect(data, "", 0);
    EXPECT_THROW(samba->write(0x20000000, bytes(data), 64), SambaError);
}

} // namespace
