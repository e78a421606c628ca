#include "PtyLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/inotify.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

// While nobody holds the slave open the master reports a hang-up on every
// poll; without open notices the reopen is watched at this interval instead.
constexpr int kReopenPollMs = 10;
constexpr int kWriteStallMs = 1000;

// Rounded up, so that a wait never ends early.
int msLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PtyLink::~PtyLink() {
    hangUp();
    if (_holderWatch >= 0) ::close(_holderWatch);
    for (int& fd : _stopPipe) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool PtyLink::open(std::string& error) {
    if (::pipe2(_stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    _master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (_master < 0 || ::grantpt(_master) != 0 || ::unlockpt(_master) != 0) {
        error = std::string("pseudo-terminal: ") + std::strerror(errno);
        hangUp();
        return false;
    }
    // Settings made on the master apply to the slave: no echo, no line
    // editing, no translation, until the tool sets its own.
    termios tio{};
    if (::tcgetattr(_master, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(_master, TCSANOW, &tio);
    }
    char name[128];
    if (::ptsname_r(_master, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        hangUp();
        return false;
    }
    _slavePath = name;
    // A tool that closes and at once reopens the port leaves no trace on the
    // master side, so opens and closes are watched on the device node
    // itself. A close notice always comes after the bytes of the tool that
    // closed, while an open notice may be read after the opener's bytes; but
    // an opener's open notice always comes before its own close notice, so
    // counting them tells the last close (a new session, as a tty hangs up
    // only then) from the close of a second opener the first outlives.
    _holderWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (_holderWatch >= 0 && ::inotify_add_watch(_holderWatch, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(_holderWatch);
        _holderWatch = -1;
    }
    return true;
}

bool PtyLink::_stopRequested() const {
    pollfd p{_stopPipe[0], POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

bool PtyLink::_waitReadable(int timeoutMs) {
    if (_master < 0) throw LinkDown{LinkDown::HUNG_UP};
    pollfd fds[2] = {{_master, POLLIN, 0}, {_stopPipe[0], POLLIN, 0}};
    int n;
    do {
        n = ::poll(fds, 2, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (fds[1].revents) throw LinkDown{LinkDown::STOP_REQUESTED};
    return n > 0 && fds[0].revents;
}

void PtyLink::_fill() {
    const ssize_t n = ::read(_master, _buffer, sizeof _buffer);
    if (n > 0) {
        _head = 0;
        _tail = static_cast<size_t>(n);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Readable yet nothing to read: only a hang-up looks like that.
        pollfd p{_master, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP)) _peerClosed();
        return;
    }
    _peerClosed();  // EIO: the slave side is closed
}

void PtyLink::_peerClosed() {
    // Nobody holds the slave now, whatever the notices counted: two closes
    // in a row may have reached us as one.
    _holders = 0;
    throw LinkDown{LinkDown::PEER_CLOSED};
}

bool PtyLink::_takeLastClose() {
    if (_holderWatch < 0) return false;
    bool lastClosed = false;
    alignas(inotify_event) char events[1024];
    ssize_t n;
    while ((n = ::read(_holderWatch, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(events + at);
            if (e->mask & IN_OPEN) ++_holders;
            // A close with none counted is one the master's hang-up already told.
            if ((e->mask & IN_CLOSE) && _holders > 0 && --_holders == 0) lastClosed = true;
            // Notices were lost: a close among them is as likely as not.
            if (e->mask & IN_Q_OVERFLOW) lastClosed = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
    }
    return lastClosed;
}

int PtyLink::readByte(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (_head < _tail) return _buffer[_head++];
        const int wait = timeoutMs < 0 ? -1 : msLeft(deadline);
        if (!_waitReadable(wait)) {
            if (timeoutMs >= 0 && msLeft(deadline) == 0) return kTimedOut;
            continue;
        }
        // Checked between the wake-up and the read: a tool that closed and
        // reopened while we slept has its close queued before its bytes.
        if (_takeLastClose()) throw LinkDown{LinkDown::NEW_PEER};
        _fill();
    }
}

void PtyLink::write(const uint8_t* data, size_t len) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteStallMs);
    while (len > 0) {
        if (_master < 0) throw LinkDown{LinkDown::HUNG_UP};
        if (_stopRequested()) throw LinkDown{LinkDown::STOP_REQUESTED};
        const ssize_t n = ::write(_master, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) _peerClosed();  // EIO: the slave side is closed
        const int wait = msLeft(deadline);
        if (wait == 0) return;
        pollfd fds[2] = {{_master, POLLOUT, 0}, {_stopPipe[0], POLLIN, 0}};
        ::poll(fds, 2, wait);
    }
}

void PtyLink::pause(int ms) {
    _paused.fetch_add(_wait(ms));
}

uint64_t PtyLink::_wait(int ms) {
    if (ms <= 0) return 0;
    // The default timer slack would stretch every short pause well past the
    // latency asked for; a benchmark measures against these pauses.
    static thread_local const bool tightTimers = prctl(PR_SET_TIMERSLACK, 1UL) == 0;
    (void)tightTimers;

    pollfd p{_stopPipe[0], POLLIN, 0};
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(ms);
    for (auto now = start; now < deadline; now = std::chrono::steady_clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
        const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        if (::ppoll(&p, 1, &wait, nullptr) > 0) throw LinkDown{LinkDown::STOP_REQUESTED};
    }
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
}

void PtyLink::waitForPeer() {
    _head = _tail = 0;
    for (;;) {
        if (_master < 0) throw LinkDown{LinkDown::HUNG_UP};
        pollfd p{_master, POLLIN, 0};
        // Data left by a tool that has already closed again still counts.
        if (::poll(&p, 1, 0) >= 0 && (!(p.revents & POLLHUP) || (p.revents & POLLIN))) return;
        if (_holderWatch < 0) {
            // Waiting for the tool is not a delay imposed on an answer: not counted.
            _wait(kReopenPollMs);
            continue;
        }
        // The opener's notice wakes us at once, however busy the machine:
        // a tool that reopens gives the adapter no time to notice otherwise.
        pollfd fds[2] = {{_holderWatch, POLLIN, 0}, {_stopPipe[0], POLLIN, 0}};
        while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
        }
        if (fds[1].revents) throw LinkDown{LinkDown::STOP_REQUESTED};
        _takeLastClose();  // counts the opener; a close meanwhile ended no session
    }
}

void PtyLink::requestStop() {
    if (_stopPipe[1] < 0) return;
    const char c = 's';
    [[maybe_unused]] ssize_t n = ::write(_stopPipe[1], &c, 1);
}

void PtyLink::hangUp() {
    if (_master >= 0) ::close(_master);
    _master = -1;
}

}  // namespace sim
