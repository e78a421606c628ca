// FirmwareCheck against crafted files: each failure code, the edges of the
// payload and its sum, and the values left for the update.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "FirmwareBuilder.h"
#include "FirmwareCheck.h"
#include "PelagoXcon.h"

namespace {

int check(const std::vector<uint8_t>& bytes)
{
    std::FILE* f = std::tmpfile();
    if (f == nullptr)
        ADD_FAILURE() << "tmpfile";
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fseek(f, 17, SEEK_SET);  // the entry position must not matter
    int code = FirmwareCheck(f);
    std::fclose(f);
    return code;
}

int check(const FirmwareBuilder& fw)
{
    return check(fw.bytes());
}

std::vector<uint8_t> prefix(const FirmwareBuilder& fw, size_t length)
{
    std::vector<uint8_t> bytes = fw.bytes();
    bytes.resize(length);
    return bytes;
}

} // namespace

TEST(FirmwareCheck, ReportsTheFirstBrokenFieldInFileOrder)
{
    FirmwareBuilder fw;
    EXPECT_EQ(check(prefix(fw, 0)), FW_ERR_SIG_SHORT);
    EXPECT_EQ(check(prefix(fw, 3)), FW_ERR_SIG_SHORT);
    EXPECT_EQ(check(prefix(fw, 5)), FW_ERR_SW_VER);
    EXPECT_EQ(check(prefix(fw, 11)), FW_ERR_LOAD_ADDR);
    EXPECT_EQ(check(prefix(fw, 15)), FW_ERR_SIZE_SHORT);
    EXPECT_EQ(check(prefix(fw, 19)), FW_ERR_PLAIN_CKSUM);
    EXPECT_EQ(check(prefix(fw, 20)), FW_ERR_PCB_LIST);
    EXPECT_EQ(check(prefix(fw, 40)), FW_ERR_PCB_LIST);
    EXPECT_EQ(check(prefix(fw, 47)), FW_ERR_PCB_LIST);
    EXPECT_EQ(check(prefix(fw, 48)), FW_ERR_PAYLOAD);
    EXPECT_EQ(check(prefix(fw, 48 + 64 + 3)), FW_ERR_TRAIL_SHORT);

    for (const char* sig : {"QVLX", "qvle", "QVL\0", "CLVQ"}) {
        FirmwareBuilder bad;
        bad.signature.assign(sig, 4);
        EXPECT_EQ(check(bad), FW_ERR_SIG) << sig;
    }
    FirmwareBuilder load;
    load.loadAddr = 0x2000;
    EXPECT_EQ(check(load), FW_ERR_LOAD_ADDR);

    FirmwareBuilder odd;
    odd.declareOwnSize = false;
    odd.declaredSize = 100;
    EXPECT_EQ(check(odd), FW_ERR_SIZE_ALIGN);

    // Judged from the header alone: no payload follows, yet the size fails first.
    for (uint32_t size : {0x1E040u, 0xFFFFFFC0u}) {
        FirmwareBuilder huge;
        huge.declareOwnSize = false;
        huge.declaredSize = size;
        EXPECT_EQ(check(huge), FW_ERR_SIZE_LARGE) << size;
    }
    FirmwareBuilder whole;
    whole.payload.assign(0x1E000, 0);
    EXPECT_EQ(check(whole), FW_OK);

    FirmwareBuilder sum;
    sum.trailerFromSum = false;
    sum.trailer = FirmwareBuilder::byteSum(sum.payload) + 1;
    EXPECT_EQ(check(sum), FW_ERR_TRAIL);
}

TEST(FirmwareCheck, ShortPayloadFailsEvenWhenThePresentBytesSumCorrectly)
{
    FirmwareBuilder fw;
    fw.payload.assign(128, 0);
    fw.declareOwnSize = false;
    fw.declaredSize = 192;  // the zero trailer sums right, the third block is missing
    EXPECT_EQ(check(fw), FW_ERR_PAYLOAD);
}

TEST(FirmwareCheck, PayloadSumEdges)
{
    FirmwareBuilder ff;
    ff.payload.assign(64, 0xFF);
    ff.trailerFromSum = false;
    ff.trailer = 0x00003FC0;
    EXPECT_EQ(check(ff), FW_OK);
    ff.trailer = 0x00003FBF;
    EXPECT_EQ(check(ff), FW_ERR_TRAIL);
    ff.trailer = 0x3FC0u << 8;  // same bytes, wrong order
    EXPECT_EQ(check(ff), FW_ERR_TRAIL);

    FirmwareBuilder empty;
    empty.payload.clear();
    EXPECT_EQ(check(empty), FW_OK);
    EXPECT_EQ(g_fw_total_size, 0u);
    EXPECT_EQ(g_enc_cksum, 0u);

    // The sum runs on across blocks.
    FirmwareBuilder big;
    big.payload.assign(64 * 300, 0xFF);
    EXPECT_EQ(check(big), FW_OK);
    EXPECT_EQ(g_enc_cksum, 64u * 300u * 255u);
}

TEST(FirmwareCheck, IgnoresBytesAfterTheTrailingChecksum)
{
    FirmwareBuilder fw;
    fw.tail.assign(4096, 0xA5);
    EXPECT_EQ(check(fw), FW_OK);
    fw.tail = {0x01};
    EXPECT_EQ(check(fw), FW_OK);
}

TEST(FirmwareCheck, LeavesTheHeaderValuesForTheUpdate)
{
    FirmwareBuilder fw;
    fw.signature = "QVLC";
    fw.swVersion = 0xBEEF;
    fw.plainChecksum = 0xCAFEF00D;
    fw.handling = 2;
    const uint16_t pcb[8] = {0x0102, 0x01FF, 0xFFFF, 3, 4, 5, 6, 0x0700};
    std::memcpy(fw.pcb, pcb, sizeof pcb);
    fw.payload.assign(192, 0x11);
    g_loader_addr = 0;
    ASSERT_EQ(check(fw), FW_OK);

    const uint8_t sigBytes[4] = {'Q', 'V', 'L', 'C'};
    uint32_t sigWord;
    std::memcpy(&sigWord, sigBytes, 4);
    EXPECT_EQ(qvl_sigs, sigWord);
    EXPECT_EQ(qvl_sigs, kSigQVLC);
    EXPECT_EQ(g_sw_ver, 0xBEEF);
    EXPECT_EQ(g_loader_addr, 0x1000u);
    EXPECT_EQ(g_fw_total_size, 192u);
    EXPECT_EQ(g_plain_cksum, 0xCAFEF00Du);
    EXPECT_EQ(g_eeprom_handle, 2);
    EXPECT_EQ(g_enc_cksum, 192u * 0x11u);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(g_hw_ver[i], pcb[i]) << i;
}
