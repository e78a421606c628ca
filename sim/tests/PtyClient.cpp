#include "PtyClient.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

PtyClient::PtyClient(const std::string& path) {
    _fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (_fd < 0) return;
    termios tio{};
    ::tcgetattr(_fd, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(_fd, TCSANOW, &tio);
}

PtyClient::~PtyClient() { close(); }

void PtyClient::close() {
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
}

void PtyClient::send(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{_fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else {
            return;
        }
    }
}

void PtyClient::send(const std::vector<uint8_t>& bytes) { send(std::string(bytes.begin(), bytes.end())); }

std::string PtyClient::receive(size_t n, int timeoutMs) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[256];
        const ssize_t got = ::read(_fd, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0) {
            if (got < 0 && errno == EAGAIN) continue;
            break;
        }
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

std::string PtyClient::drain(int timeoutMs) { return receive(4096, timeoutMs); }

std::string PtyClient::command(const std::string& cmd, size_t answerLen, int timeoutMs) {
    send(cmd);
    return answerLen ? receive(answerLen, timeoutMs) : std::string();
}

bool PtyClient::lineDead(int timeoutMs) {
    pollfd p{_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    char c;
    const ssize_t n = ::read(_fd, &c, 1);
    return n == 0 || (n < 0 && errno == EIO);
}

uint32_t PtyClient::readWord(uint32_t addr) {
    const std::string a = command("w" + hex8(addr) + ",4#", 4);
    uint32_t v = 0;
    for (size_t i = 0; i < a.size() && i < 4; ++i) v |= uint32_t(uint8_t(a[i])) << (8 * i);
    return v;
}

void PtyClient::writeRaw(uint32_t addr, const std::vector<uint8_t>& data) {
    send("S" + hex8(addr) + "," + hex8(static_cast<uint32_t>(data.size())) + "#");
    send(data);
}

bool PtyClient::program(uint32_t dst, uint32_t size) {
    if (command("Y20000000,0#", 3)[0] != 'Y') return false;
    return command("Y" + hex8(dst) + "," + hex8(size) + "#", 3)[0] == 'Y';
}

std::string hex8(uint32_t v) {
    char buf[9];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

std::vector<uint8_t> patternBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}
