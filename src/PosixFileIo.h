// The POSIX file routines the safe save (PosixSafeSave.cpp) and the private
// backup directory (PosixPrivateDirectory.cpp) share; not part of either's
// interface.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace posix_file {

constexpr mode_t kPrivateMode = 0600;  // a file for its owner alone
constexpr mode_t kModeBits = 07777;
constexpr int kMaxLinkDepth = 40;      // as the kernel's own limit on nested links

// "WHAT: " and the system's words for errno.
std::string reason(const char* what);

// Whether `a` and `b` describe the same file (device and inode).
bool sameFile(const struct stat& a, const struct stat& b);

// The directory part of `path` ("." without a slash, "/" at the root).
std::string directoryOf(const std::string& path);

// Writes all `size` bytes of `data` to `fd`, retrying interrupted and
// partial writes. False with *error ("write failed: ...") otherwise.
bool writeAll(int fd, const uint8_t* data, size_t size, std::string* error);

// Flushes the entry of `directory` (relative to `at`) to disk, so a rename
// or a new file in it is durable. Some file systems refuse to sync a
// directory; the entry is in place then anyway.
void syncDirectory(int at, const std::string& directory = ".");

// While it lives, a full disk or a file size limit (SIGXFSZ) and a reader
// that leaves a FIFO (SIGPIPE) fail the write instead of ending the process.
class QuietSignals {
public:
    QuietSignals();
    ~QuietSignals();
    QuietSignals(const QuietSignals&) = delete;
    QuietSignals& operator=(const QuietSignals&) = delete;

private:
    struct sigaction _oldFsize {};
    struct sigaction _oldPipe {};
};

} // namespace posix_file
