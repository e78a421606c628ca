// Monitor answers shared by the client tests, and a client connected once
// per test suite (connecting costs a 500 ms pause).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "SambaXcon.h"
#include "ScriptedPort.h"

// A word as the monitor sends it: least significant byte first.
inline std::string le32(uint32_t v)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}

constexpr uint32_t kAdapterChip = 0x1001030B;

// The word reads of a chip check that finds a Cortex-M0+ whose device
// identifier is `did` (the die revision bits set, as real parts have them),
// then the version request answered with `versionText`.
inline void expectMonitorCheck(Wire& w, const std::string& versionText = "v2.3 QVL boot\r\n",
                               uint32_t did = kAdapterChip | 0xF000)
{
    w.expect("w00000000,4#", le32(0x20002000));
    w.expect("wE000ED00,4#", le32(0x410CC601));
    w.expect("w41002018,4#", le32(did));
    w.expect("V#", versionText);
}

// The auto-baud bytes of a plain serial link; the monitor answers nothing.
inline void expectAutoBaud(Wire& w)
{
    w.expect("\x80");
    w.expect("\x80");
    w.expect("#");
}

// A Samba connected once for the whole suite, over a USB (or plain serial)
// scripted port. Each test starts with an empty script and log and must
// use up its script.
template <bool Usb>
class ConnectedSamba : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        wire = std::make_shared<Wire>();
        if (!Usb)
            expectAutoBaud(*wire);
        expectMonitorCheck(*wire);
        samba = std::make_unique<Samba>();
        ASSERT_TRUE(samba->connect(std::make_unique<ScriptedPort>(wire, Usb)));
        ASSERT_EQ(samba->isUsb(), Usb);
    }
    static void TearDownTestSuite()
    {
        samba.reset();
        wire.reset();
    }
    void SetUp() override { wire->clear(); }
    void TearDown() override
    {
        for (const std::string& e : wire->errors)
            ADD_FAILURE() << e;
        EXPECT_TRUE(wire->script.empty()) << "unsent: " << visible(wire->script.front().expect);
    }

    static inline std::shared_ptr<Wire> wire;
    static inline std::unique_ptr<Samba> samba;
};

using UsbSamba = ConnectedSamba<true>;
using SerialSamba = ConnectedSamba<false>;
