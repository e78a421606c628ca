// A pseudo-terminal pair for tests that play the far side of the tool's
// port themselves, or leave it silent.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// A pseudo-terminal whose slave side stays open here, so its settings
// outlive the tool's own open and close.
class PtyPair {
public:
    static constexpr size_t kReadChunk = 256;

    PtyPair()
    {
        _master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (_master < 0 || grantpt(_master) != 0 || unlockpt(_master) != 0)
            return;
        const char* name = ptsname(_master);
        if (name == nullptr)
            return;
        _slavePath = name;
        _slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~PtyPair()
    {
        if (_slave >= 0)
            ::close(_slave);
        if (_master >= 0)
            ::close(_master);
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return _master >= 0 && _slave >= 0; }
    const std::string& slavePath() const { return _slavePath; }
    int slave() const { return _slave; }

    // Bytes from the far side until `count` arrived or `timeout` passed.
    std::vector<uint8_t> read(size_t count, std::chrono::milliseconds timeout)
    {
        std::vector<uint8_t> got;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (got.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{_master, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buffer[kReadChunk];
            ssize_t n = ::read(_master, buffer, std::min(sizeof buffer, count - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    bool write(const std::vector<uint8_t>& bytes) const
    {
        return ::write(_master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }

private:
    int _master = -1;
    int _slave = -1;
    std::string _slavePath;
};
