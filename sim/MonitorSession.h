// The boot monitor itself: reads commands from the pty and carries them out
// against the shared memory, one tool connection after another.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SimOptions.h"
#include "PtyLink.h"
#include "SimState.h"

namespace sim {

class MonitorSession {
public:
    MonitorSession(SimState& state, PtyLink& link, const SimOptions& options);

    // Serves until stop is requested or the line was hung up on purpose.
    void serve();

private:
    // One open of the slave side by a tool; ends by LinkDown.
    void _serveConnection();
    // Forgets what belonged to the previous tool's connection.
    void _startConnection();
    int _nextByte(int timeoutMs);
    void _awaitAutoBaud();
    // The next command up to and including '#'; false for one that is too
    // long to be any command (it is logged and ignored).
    bool _readCommand(std::string& line);
    void _handle(const std::string& line);
    void _log(const std::string& line);
    // Sends a reply, unless a fault says otherwise.
    void _answer(std::string reply);

    void _readWord(const std::vector<uint32_t>& args);
    void _writeWord(const std::vector<uint32_t>& args);
    void _version();
    void _sendBlock(const std::vector<uint32_t>& args);
    void _erase(const std::vector<uint32_t>& args);
    void _bufferedWrite(const std::vector<uint32_t>& args);
    void _checksum(const std::vector<uint32_t>& args);
    void _prepareCipher();

    SimState& _state;
    PtyLink& _link;
    const SimOptions& _options;

    // Per connection.
    bool _fresh = true;
    bool _decipher = false;
    std::optional<uint32_t> _ySource;

    // Over the adapter's whole life, for the fault plan.
    std::map<char, unsigned> _countByLetter;
    unsigned _commandCount = 0;
    unsigned _blocksReceived = 0;
    unsigned _blocksProgrammed = 0;
    bool _hangUpPending = false;

    // Faults that apply to the command being handled.
    bool _suppressAnswer = false;
    bool _corruptAnswer = false;
    bool _strayByte = false;
};

}  // namespace sim
