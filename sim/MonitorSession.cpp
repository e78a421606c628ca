#include "MonitorSession.h"

#include <cstdio>
#include <cstdlib>

#include "Xmodem.h"

namespace sim {

namespace {

constexpr uint8_t kAutoBaudByte = 0x80;
constexpr char kCommandEnd = '#';
constexpr size_t kMaxCommandLength = 32;  // the longest real command has 19 bytes
constexpr int kRawDataTimeoutMs = 1000;   // a raw block that stalls this long is given up
constexpr size_t kRawChunk = 256;
constexpr char kRejected = '?';           // first reply byte for a command the monitor refuses
constexpr char kCorrupted = '!';
constexpr char kStrayByte = '\xA5';
constexpr uint8_t kCorruptedBit = 0x01;
constexpr const char* kReplyTail = "\n\r";  // pads letter replies to their 3 bytes
constexpr size_t kMaxVersionText = 253;

std::string printable(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw) {
        if (c >= 0x20 && c <= 0x7E && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Comma-separated hexadecimal fields of 1 to 8 digits; false when malformed.
bool parseFields(const std::string& body, std::vector<uint32_t>& fields) {
    fields.clear();
    if (body.empty()) return true;
    size_t pos = 0;
    for (;;) {
        const size_t comma = body.find(',', pos);
        const std::string field = body.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (field.empty() || field.size() > 8 || field.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        fields.push_back(static_cast<uint32_t>(std::strtoul(field.c_str(), nullptr, 16)));
        if (comma == std::string::npos) return true;
        pos = comma + 1;
    }
}

std::string letterReply(char letter) { return std::string(1, letter) + kReplyTail; }

}  // namespace

MonitorSession::MonitorSession(SimState& state, PtyLink& link, const SimOptions& options)
    : _state(state), _link(link), _options(options) {}

void MonitorSession::serve() {
    for (;;) {
        LinkDown::Reason why = LinkDown::STOP_REQUESTED;
        try {
            _serveConnection();
        } catch (const LinkDown& down) {
            why = down.reason;
        }
        if (why == LinkDown::STOP_REQUESTED || why == LinkDown::HUNG_UP) return;
        _startConnection();
        if (why != LinkDown::PEER_CLOSED) continue;
        try {
            _link.waitForPeer();
        } catch (const LinkDown&) {
            return;
        }
    }
}

void MonitorSession::_startConnection() {
    _fresh = true;
    _decipher = false;
    _ySource.reset();
    _hangUpPending = false;
}

int MonitorSession::_nextByte(int timeoutMs) {
    const int b = _link.readByte(timeoutMs);
    if (_fresh && b != PtyLink::kTimedOut) {
        _fresh = false;
        std::lock_guard<std::mutex> lock(_state.mutex);
        ++_state.sessions;
    }
    return b;
}

void MonitorSession::_serveConnection() {
    if (_options.link == LinkMode::Serial) _awaitAutoBaud();
    std::string line;
    for (;;) {
        if (_readCommand(line)) _handle(line);
    }
}

void MonitorSession::_awaitAutoBaud() {
    uint8_t last[3] = {0, 0, 0};
    for (;;) {
        last[0] = last[1];
        last[1] = last[2];
        last[2] = static_cast<uint8_t>(_nextByte(PtyLink::kForever));
        if (last[0] == kAutoBaudByte && last[1] == kAutoBaudByte && last[2] == kCommandEnd) return;
    }
}

bool MonitorSession::_readCommand(std::string& line) {
    line.clear();
    bool overlong = false;
    for (;;) {
        const int b = _nextByte(PtyLink::kForever);
        if (b == kAutoBaudByte) {
            // A tool starting over after a reopen we did not notice.
            line.clear();
            overlong = false;
            continue;
        }
        if (b == kCommandEnd && line.empty()) continue;  // the '#' of the auto-baud bytes
        if (line.size() < kMaxCommandLength) {
            line += static_cast<char>(b);
        } else {
            overlong = true;
        }
        if (b != kCommandEnd) continue;
        if (overlong) _log(line + "...");
        return !overlong;
    }
}

void MonitorSession::_log(const std::string& line) {
    const std::string text = printable(line);
    std::lock_guard<std::mutex> lock(_state.mutex);
    _state.log.push_back(text);
    if (_state.logFile) {
        std::fprintf(_state.logFile, "%s\n", text.c_str());
        std::fflush(_state.logFile);
    }
}

void MonitorSession::_handle(const std::string& line) {
    _log(line);
    if (_hangUpPending) {
        // Hanging up on the command after the last confirmed block, so that
        // the confirmation itself surely reached the tool.
        _link.hangUp();
        throw LinkDown{LinkDown::HUNG_UP};
    }
    const char letter = line[0];
    const FaultPlan& faults = _options.faults;
    const unsigned nth = ++_countByLetter[letter];
    ++_commandCount;
    if (_options.onCommand) _options.onCommand(_commandCount);
    if (_commandCount == faults.hangupAt) {
        _link.hangUp();
        throw LinkDown{LinkDown::HUNG_UP};
    }
    const auto hits = [&](const std::map<char, unsigned>& plan) {
        const auto it = plan.find(letter);
        return it != plan.end() && it->second == nth;
    };
    const bool powerGoes = _commandCount == faults.powerOffAfter;
    _suppressAnswer = hits(faults.noAnswerAt) || (faults.silentFrom && _commandCount >= faults.silentFrom) ||
                      powerGoes;
    _corruptAnswer = hits(faults.wrongLetterAt);
    _strayByte = hits(faults.strayByteAt);

    std::vector<uint32_t> args;
    if (!parseFields(line.substr(1, line.size() - 2), args)) return;
    switch (letter) {
        case 'w': if (args.size() == 2) _readWord(args); break;
        case 'W': if (args.size() == 2) _writeWord(args); break;
        case 'V': if (args.empty()) _version(); break;
        case 'S': if (args.size() == 2) _sendBlock(args); break;
        case 'X': if (args.size() == 2) _erase(args); break;
        case 'Y': if (args.size() == 2) _bufferedWrite(args); break;
        case 'Z': if (args.size() == 2) _checksum(args); break;
        case 'x': if (args.empty()) _prepareCipher(); break;
        default: break;  // unknown commands get no answer, as on the real monitor
    }
    if (powerGoes) {
        {
            std::lock_guard<std::mutex> lock(_state.mutex);
            _state.poweredOff = true;
        }
        _link.hangUp();
        throw LinkDown{LinkDown::HUNG_UP};
    }
}

void MonitorSession::_answer(std::string reply) {
    if (_suppressAnswer || reply.empty()) return;
    if (_corruptAnswer) reply[0] = kCorrupted;
    if (_strayByte) reply += kStrayByte;
    _link.pause(static_cast<int>(_options.faults.replyDelayMs));
    _link.write(reply);
}

void MonitorSession::_readWord(const std::vector<uint32_t>& args) {
    uint32_t value;
    {
        std::lock_guard<std::mutex> lock(_state.mutex);
        value = _state.memory.readWord(args[0]);
    }
    std::string reply(4, '\0');
    for (int i = 0; i < 4; ++i) reply[i] = static_cast<char>(value >> (8 * i));
    _answer(reply);
}

void MonitorSession::_writeWord(const std::vector<uint32_t>& args) {
    std::lock_guard<std::mutex> lock(_state.mutex);
    if (args[0] == kAircrAddr) {
        if (args[1] == kResetRequest) {
            ++_state.resets;
            _decipher = false;
            _ySource.reset();
        }
        return;
    }
    _state.memory.writeWord(args[0], args[1]);
}

void MonitorSession::_version() {
    if (_options.faults.noVersionAnswer) return;
    _answer(_options.versionText.substr(0, kMaxVersionText) + kReplyTail);
}

void MonitorSession::_sendBlock(const std::vector<uint32_t>& args) {
    const uint32_t addr = args[0], count = args[1];
    const auto store = [&](uint32_t offset, const uint8_t* data, uint32_t len) {
        std::lock_guard<std::mutex> lock(_state.mutex);
        _state.memory.storeBytes(addr + offset, data, len);
    };
    if (_options.link == LinkMode::Serial) {
        XmodemFaults faults;
        faults.neverSendC = _options.faults.neverSendC;
        faults.refuseBlock = [this] { return ++_blocksReceived <= _options.faults.nakFirstBlocks; };
        xmodemReceive(_link, count, faults, store);
        return;
    }
    uint8_t chunk[kRawChunk];
    uint32_t received = 0;
    while (received < count) {
        uint32_t n = 0;
        while (n < kRawChunk && received + n < count) {
            const int b = _link.readByte(kRawDataTimeoutMs);
            if (b == PtyLink::kTimedOut) break;
            chunk[n++] = static_cast<uint8_t>(b);
        }
        store(received, chunk, n);
        received += n;
        if (n < kRawChunk && received < count) return;  // stalled: the rest never came
    }
}

void MonitorSession::_erase(const std::vector<uint32_t>& args) {
    bool done = false;
    if (args[1] <= 1) {
        std::lock_guard<std::mutex> lock(_state.mutex);
        done = _state.memory.erase(args[0], args[1] == 1);
    }
    _answer(letterReply(done ? 'X' : kRejected));
}

void MonitorSession::_bufferedWrite(const std::vector<uint32_t>& args) {
    if (args[1] == 0) {
        _ySource = args[0];
        _answer(letterReply('Y'));
        return;
    }
    bool done = false;
    if (_ySource) {
        std::lock_guard<std::mutex> lock(_state.mutex);
        // Spoiling the staged copy makes the flash take the wrong byte as a
        // real write would, erased or not.
        if (_blocksProgrammed + 1 == _options.faults.corruptWriteAt) {
            const uint8_t spoilt = _state.memory.readByte(*_ySource) ^ kCorruptedBit;
            _state.memory.storeBytes(*_ySource, &spoilt, 1);
        }
        done = _state.memory.program(args[0], *_ySource, args[1], _decipher);
    }
    _answer(letterReply(done ? 'Y' : kRejected));
    if (done && ++_blocksProgrammed == _options.faults.hangupAfterBlocks) _hangUpPending = true;
}

void MonitorSession::_checksum(const std::vector<uint32_t>& args) {
    uint32_t sum = 0;
    bool done;
    {
        std::lock_guard<std::mutex> lock(_state.mutex);
        done = _state.memory.checksum(args[0], args[1], sum);
    }
    char reply[10];
    std::snprintf(reply, sizeof reply, "%c%08X", done ? 'Z' : kRejected, done ? sum : 0u);
    _answer(reply);
}

void MonitorSession::_prepareCipher() {
    _decipher = true;
    _answer(letterReply('x'));
}

}  // namespace sim
