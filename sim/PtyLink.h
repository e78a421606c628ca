// The master side of the pseudo-terminal the virtual adapter serves, with
// timed byte reads, notice of the tool closing its side, and a way for
// another thread to end every wait.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sim {

// Thrown out of a blocking call of PtyLink when serving cannot go on.
struct LinkDown {
    enum Reason {
        PEER_CLOSED,     // the tool closed the slave side
        NEW_PEER,        // the last tool holding the slave side closed it; what follows comes from the next one
        STOP_REQUESTED,  // requestStop() was called
        HUNG_UP,         // hangUp() was called
    } reason;
};

class PtyLink {
public:
    static constexpr int kForever = -1;
    static constexpr int kTimedOut = -1;

    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Opens a raw, non-blocking pty master; false with `error` set on failure.
    bool open(std::string& error);
    const std::string& slavePath() const { return _slavePath; }

    // The next byte from the tool, or kTimedOut after `timeoutMs` (kForever
    // waits without limit). Throws LinkDown when the tool closed its side
    // (after every byte it sent was delivered), when the last holder closed
    // it and a tool opened it anew (also when it reopened at once, before
    // any later byte), when stop was requested, or after hangUp(). A second
    // opener that closes while the first still holds the side, as a run
    // refused for a port in use, ends nothing.
    int readByte(int timeoutMs);
    // Sends all bytes; throws LinkDown as readByte. Drops what the tool does
    // not take within a second, as a real line would.
    void write(const uint8_t* data, size_t len);
    void write(const std::string& text) { write(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
    // Delays an answer by `ms` milliseconds; throws LinkDown{STOP_REQUESTED}
    // when asked to stop meanwhile.
    void pause(int ms);
    // The time all pauses so far really took, in microseconds (callable from
    // any thread); the link's own waits for a tool are not among them.
    uint64_t pausedMicros() const { return _paused.load(); }
    // After PEER_CLOSED: returns once a tool has opened the slave side again,
    // woken by its open notice.
    void waitForPeer();
    // Ends every wait of the serving thread; callable from any thread.
    void requestStop();
    // Closes the master for good, so the tool sees the line go dead.
    void hangUp();

private:
    bool _stopRequested() const;
    // Waits `ms` milliseconds as pause() does, uncounted; returns the
    // microseconds it really took.
    uint64_t _wait(int ms);
    // Consumes the queued open and close notices; true when among them the
    // last holder of the slave side closed it.
    bool _takeLastClose();
    // The slave side has no holder: throws LinkDown{PEER_CLOSED}.
    [[noreturn]] void _peerClosed();
    // Waits for input or a stop; true when the master has something to say.
    bool _waitReadable(int timeoutMs);
    void _fill();

    int _master = -1;
    int _stopPipe[2] = {-1, -1};
    std::atomic<uint64_t> _paused{0};
    int _holderWatch = -1;  // inotify on the slave's device node, -1 when unavailable
    int _holders = 0;       // openers of the slave side not yet closed, as the notices tell
    std::string _slavePath;
    uint8_t _buffer[512];
    size_t _head = 0, _tail = 0;
};

}  // namespace sim
