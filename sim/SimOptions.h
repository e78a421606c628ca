// What the virtual adapter is set up with: its link, identity and faults,
// and the memory map its monitor serves. Apart from AdapterSim, so that the
// monitor's pieces read them without depending on the whole adapter.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace sim {

// The adapter's flash, and the monitor's RAM used to stage one block.
constexpr uint32_t kFlashSize = 0x20000;
constexpr uint32_t kRamBase = 0x20000000;
constexpr uint32_t kRamSize = 0x1000;

// It stands in for an adapter, which answers whatever else the computer is
// doing: where the user may (root, CAP_SYS_NICE), its serving thread runs at
// this nice value, ahead of other work, so that a busy machine slows the
// tool, not its counterpart. What else plays the hardware's side in a test
// (wine's server) is raised to the same.
constexpr int kHardwareNice = -10;

// How block data arrives and whether the monitor waits for the auto-baud bytes.
enum class LinkMode {
    Usb,     // answers at once; block data raw
    Serial,  // silent until 0x80 0x80 '#' since the port was opened; block data by XMODEM-CRC
};

// Identity words placed into flash at start, each only when set; they win
// over a loaded state file.
struct Identity {
    std::optional<uint16_t> pcbVersion;    // 0xFF4 bits 0-15
    std::optional<uint8_t> boardLetter;    // 0xFF4 bits 16-23 ('C', 'E', or 0xFF)
    std::optional<std::string> serialNumber;  // 0xFF8..0xFFF, cut or padded with NUL to 8 bytes
    std::optional<uint32_t> firmwareWord;  // 0x1EFF0: version, ROM version, Pre0
    std::optional<uint32_t> typeWord;      // 0x1EFF4: Pre1, installed type letter in bits 8-15
    std::optional<uint32_t> adjWord;       // 0x1F188: ADJ in bits 8-15
};

// Faults on request. Command counts start at 1 and run over the adapter's
// whole life, across reopens of the port; 0 means off.
struct FaultPlan {
    std::map<char, unsigned> noAnswerAt;     // letter -> N: the Nth such command is carried out but not answered
    std::map<char, unsigned> wrongLetterAt;  // letter -> N: the Nth such answer starts with '!' instead
    unsigned silentFrom = 0;        // from the Nth command of any kind on, nothing is answered
    unsigned nakFirstBlocks = 0;    // the first K XMODEM blocks received are refused with NAK
    bool neverSendC = false;        // the XMODEM receiver never asks for data
    unsigned hangupAfterBlocks = 0; // the pty is closed on the first command after the Nth confirmed block
    bool noVersionAnswer = false;   // V# is never answered
    unsigned replyDelayMs = 0;      // pause before every answer
    unsigned corruptWriteAt = 0;    // the Nth programmed block lands with its first byte's low bit flipped
    std::map<char, unsigned> strayByteAt;  // letter -> N: the Nth such answer carries one byte too many
    unsigned hangupAt = 0;       // the Nth command of any kind is lost: not carried out, the pty closed
    unsigned powerOffAfter = 0;  // the Nth command is carried out, then the power goes: no answer,
                                 // the pty closed, serving ends and the flash is saved at once
};

struct SimOptions {
    static constexpr uint32_t kDefaultDeviceId = 0x1001A30B;  // accepted chip, revision bits set
    static constexpr const char* kDefaultVersionText = "v2.4 QVL boot monitor Jun 12 2021";

    LinkMode link = LinkMode::Usb;
    // Start from all-0xFF flash instead of the default adapter (PCB 0x0102,
    // board 'E', serial "QE012345", firmware 0x01000105 type 'E', ADJ 0x7F00).
    bool blank = false;
    Identity identity;
    uint32_t deviceId = kDefaultDeviceId;  // the word at 0x41002018
    std::string versionText = kDefaultVersionText;  // sent with "\n\r" after it; at most 253 bytes
    std::string stateFile;  // raw 128 KiB flash: loaded at start when present, saved at stop
    std::string portFile;   // when set, the pty path is written there (replaced atomically), removed at stop
    std::string logFile;    // when set, every command line is appended there as it arrives
    FaultPlan faults;
    std::string programName = "adapter-sim";  // how its own messages call it
    // Called on the serving thread when serving ends on its own (hang-up fault)
    // or because stop() was called; it must not call stop() itself.
    std::function<void()> onServeEnd;
    // Called on the serving thread as each command arrives, before it is
    // carried out, with its number over the adapter's life (from 1).
    std::function<void(unsigned)> onCommand;
};

}  // namespace sim
