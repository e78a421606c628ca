// Connecting, word commands, version text, chip identification and reset.
#include <gtest/gtest.h>

#include "MonitorScript.h"

namespace {

struct Fresh {
    std::shared_ptr<Wire> wire = std::make_shared<Wire>();
    Samba samba;
    SerialPort::Ptr port(bool usb) { return std::make_unique<ScriptedPort>(wire, usb); }
    void expectDone()
    {
        for (const std::string& e : wire->errors)
            ADD_FAILURE() << e;
        EXPECT_TRUE(wire->script.empty());
    }
};

bool contains(const std::string& log, const std::string& part)
{
    return log.find(part) != std::string::npos;
}

// --- connecting (each attempt pays the 500 ms settling pause) ---

TEST(SambaConnect, UsbMonitorAnswersInOneAttempt)
{
    Fresh f;
    f.wire->arrive("stale bytes from before");
    expectMonitorCheck(*f.wire);
    ASSERT_TRUE(f.samba.connect(f.port(true)));
    f.expectDone();
    EXPECT_TRUE(f.samba.isUsb());
    EXPECT_TRUE(f.samba.isChipEraseAvailable());
    EXPECT_TRUE(f.samba.isWriteBufferAvailable());
    EXPECT_TRUE(f.samba.isChecksumBufferAvailable());
    EXPECT_EQ(f.wire->logFrom(),
              "open 921600|timeout 100|read 1024|"
              "write w00000000,4#|read 4|write wE000ED00,4#|read 4|write w41002018,4#|read 4|"
              "write V#|timeout 100|read 255|timeout 1000|timeout 1000");
    EXPECT_TRUE(f.wire->input.empty()) << "the drain must take the stale bytes";
}

TEST(SambaConnect, UsbPortFallsBackToSerialWithAutoBaud)
{
    Fresh f;
    f.wire->expect("w00000000,4#");  // silent at 921600
    expectAutoBaud(*f.wire);
    expectMonitorCheck(*f.wire);
    ASSERT_TRUE(f.samba.connect(f.port(true), 115200));
    f.expectDone();
    EXPECT_FALSE(f.samba.isUsb());
    std::string log = f.wire->logFrom();
    EXPECT_TRUE(contains(log, "open 921600|timeout 100|read 1024|write w00000000,4#|read 4|close|"
                              "open 115200|timeout 100|read 1024|put \\x80|get|put \\x80|get|put #|read 3|"))
        << log;
}

TEST(SambaConnect, NonUsbPortNeverTries921600)
{
    Fresh f;
    expectAutoBaud(*f.wire);
    expectMonitorCheck(*f.wire);
    ASSERT_TRUE(f.samba.connect(f.port(false), 115200));
    f.expectDone();
    EXPECT_EQ(f.wire->log.front(), "open 115200");
    EXPECT_FALSE(contains(f.wire->logFrom(), "921600"));
}

TEST(SambaConnect, WordsWithoutVersionAnswerThrowAndKeepThePort)
{
    Fresh f;
    expectAutoBaud(*f.wire);
    expectMonitorCheck(*f.wire, "");
    EXPECT_THROW(f.samba.connect(f.port(false)), SambaError);
    f.expectDone();
    EXPECT_EQ(f.samba.getSerialPort().name(), "scripted");
    EXPECT_TRUE(f.wire->isOpen);
}

TEST(SambaConnect, VersionWithoutTagOrOtherChipIsRefused)
{
    Fresh f;
    expectAutoBaud(*f.wire);
    expectMonitorCheck(*f.wire, "v2.3 QV L\n");
    EXPECT_FALSE(f.samba.connect(f.port(false)));
    f.expectDone();
    EXPECT_FALSE(f.wire->isOpen);

    f.wire->clear();
    expectAutoBaud(*f.wire);
    expectMonitorCheck(*f.wire, "QVL", 0x10010305);
    EXPECT_FALSE(f.samba.connect(f.port(false)));
    f.expectDone();
    EXPECT_FALSE(f.wire->isOpen);
}

TEST(SambaConnect, PortThatCannotOpenFailsWithoutTalking)
{
    Fresh f;
    f.wire->openResults = {false, false};
    EXPECT_FALSE(f.samba.connect(f.port(true)));
    EXPECT_EQ(f.wire->logFrom(), "open 921600|close|open 115200|close");
    EXPECT_FALSE(f.samba.connect(nullptr));
    EXPECT_THROW(f.samba.readWord(0), SambaError) << "no port held after a failed connect";
}

// --- words, version and chip identification on a connected USB client ---

TEST_F(UsbSamba, WordIsAssembledLeastSignificantByteFirst)
{
    wire->expect("w00000FF4,4#", std::string("\x0B\x03\x01\x10", 4));
    EXPECT_EQ(samba->readWord(0xFF4), 0x1001030Bu);
}

TEST_F(UsbSamba, ShortWordAnswerOrShortCommandWriteThrows)
{
    wire->expect("w0001EFF0,4#", "abc");
    EXPECT_THROW(samba->readWord(0x1EFF0), SambaError);
    wire->expect("w0001EFF0,4#", "", 11);
    EXPECT_THROW(samba->readWord(0x1EFF0), SambaError);
    wire->expect("WE000ED0C,05FA0004#", "", 18);
    EXPECT_THROW(samba->writeWord(0xE000ED0C, 0x05FA0004), SambaError);
}

TEST_F(UsbSamba, WordWriteIsFollowedByFlushOnUsb)
{
    wire->expect("W20000000,DEADBEEF#");
    samba->writeWord(0x20000000, 0xDEADBEEF);
    EXPECT_EQ(wire->logFrom(), "write W20000000,DEADBEEF#|flush");
}

TEST_F(UsbSamba, VersionTextEndsAtFirstNonPrintableByte)
{
    wire->expect("V#", "v1.0 QVL\r\nrest");
    EXPECT_EQ(samba->version(), "v1.0 QVL");
    wire->input.clear();

    wire->expect("V#", std::string("\x7F" "QVL", 4));
    EXPECT_EQ(samba->version(), "");

    std::string longText(300, 'q');
    wire->expect("V#", longText);
    EXPECT_EQ(samba->version(), std::string(255, 'q'));
    wire->input.clear();
}

TEST_F(UsbSamba, MissingVersionAnswerThrowsWithTimeoutRestored)
{
    wire->expect("V#");
    EXPECT_THROW(samba->version(), SambaError);
    EXPECT_EQ(wire->logFrom(), "write V#|timeout 100|read 255|timeout 1000");
}

TEST_F(UsbSamba, ChipIdFollowsEachChipGeneration)
{
    wire->expect("w00000000,4#", le32(0xEA000010));  // ARM7: branch at the reset vector
    wire->expect("wFFFFF240,4#", le32(0x275B0940));
    EXPECT_EQ(samba->chipId(), 0x275B0940u);

    wire->expect("w00000000,4#", le32(0x20001000));  // Cortex-M3/M4
    wire->expect("wE000ED00,4#", le32(0x412FC230));
    wire->expect("w400E0740,4#", le32(0x28A00960));
    EXPECT_EQ(samba->chipId(), 0x28A00960u);

    wire->expect("w00000000,4#", le32(0x20001000));  // identifier in the second bank
    wire->expect("wE000ED00,4#", le32(0x410FC241));
    wire->expect("w400E0740,4#", le32(0));
    wire->expect("w400E0940,4#", le32(0x286E0A60));
    EXPECT_EQ(samba->chipId(), 0x286E0A60u);
}

TEST_F(UsbSamba, ResetOnAdapterChipRequestsSystemReset)
{
    expectMonitorCheck(*wire);
    wire->script.pop_back();  // no version request
    wire->expect("WE000ED0C,05FA0004#");
    testing::internal::CaptureStdout();
    samba->reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CPU reset.\n");
    EXPECT_EQ(wire->log.back(), "flush");
}

TEST_F(UsbSamba, ResetOnOtherChipPrintsBothLinesAndWritesNothing)
{
    wire->expect("w00000000,4#", le32(0xEA000010));
    wire->expect("wFFFFF240,4#", le32(0x275B0940));
    testing::internal::CaptureStdout();
    samba->reset();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "CPU reset.\nReset not supported for this CPU.\n");
}

TEST_F(UsbSamba, TraceReportsOperationsOnlyWhenSwitchedOn)
{
    wire->expect("w00000FF8,4#", le32(0x12345678));
    testing::internal::CaptureStdout();
    samba->readWord(0xFF8);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    samba->setDebug(true);
    wire->expect("w00000FF8,4#", le32(0x12345678));
    testing::internal::CaptureStdout();
    samba->readWord(0xFF8);
    samba->setDebug(false);
    std::string trace = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(contains(trace, "readWord(addr=0x00000FF8)=0x12345678")) << trace;
}

TEST_F(SerialSamba, WordWriteIsNotFlushedOnSerial)
{
    wire->expect("W20000000,00000001#");
    samba->writeWord(0x20000000, 1);
    EXPECT_EQ(wire->logFrom(), "write W20000000,00000001#");
}

} // namespace
