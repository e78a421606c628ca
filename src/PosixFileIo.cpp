#include "PosixFileIo.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace posix_file {

std::string reason(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, const uint8_t* data, size_t size, std::string* error)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            if (written == 0)
                errno = EIO;
            *error = reason("write failed");
            return false;
        }
        data += written;
        size -= size_t(written);
    }
    return true;
}

void syncDirectory(int at, const std::string& directory)
{
    int fd = openat(at, directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

QuietSignals::QuietSignals()
{
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &_oldFsize);
    sigaction(SIGPIPE, &ignore, &_oldPipe);
}

QuietSignals::~QuietSignals()
{
    sigaction(SIGXFSZ, &_oldFsize, nullptr);
    sigaction(SIGPIPE, &_oldPipe, nullptr);
}

} // namespace posix_file
