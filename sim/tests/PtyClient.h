// The tool's side of the virtual adapter's pty, at byte level, for tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PtyClient {
public:
    explicit PtyClient(const std::string& path);
    ~PtyClient();
    PtyClient(const PtyClient&) = delete;
    PtyClient& operator=(const PtyClient&) = delete;

    bool isOpen() const { return _fd >= 0; }
    void close();

    void send(const std::string& bytes);
    void send(const std::vector<uint8_t>& bytes);
    // Up to `n` bytes, or fewer when `timeoutMs` passes without them.
    std::string receive(size_t n, int timeoutMs = 1000);
    // Whatever arrives within `timeoutMs` (for "nothing more came").
    std::string drain(int timeoutMs);
    // Sends `cmd` and returns its `answerLen`-byte answer.
    std::string command(const std::string& cmd, size_t answerLen, int timeoutMs = 1000);
    // True when the other side has gone (reads report end or error) within `timeoutMs`.
    bool lineDead(int timeoutMs);

    uint32_t readWord(uint32_t addr);
    // USB-style block write: S command, then the bytes raw.
    void writeRaw(uint32_t addr, const std::vector<uint8_t>& data);
    // Both phases of the buffered write from RAM at 0x20000000; true when
    // both were confirmed with 'Y'.
    bool program(uint32_t dst, uint32_t size);

private:
    int _fd = -1;
};

std::string hex8(uint32_t v);
std::vector<uint8_t> patternBytes(size_t n, uint32_t seed);
