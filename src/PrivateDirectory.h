// The directory the settings backups live in, held open while the tool
// makes, lists and reads them, so each operation lands in the directory
// that was checked, whatever its path names meanwhile.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What PrivateDirectory::saveNew did.
enum class NewFileResult { Saved, Taken, Failed };

// POSIX: the directory and every level above it (links along the way
// included) must be safe from other users: owned by this user or root, and
// not writable by group or others unless sticky; a link must be owned by
// this user or root. Windows has no such owners here: the directory must be
// a directory, and it is held so that it cannot be renamed or removed.
class PrivateDirectory {
public:
    PrivateDirectory() = default;
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    // Opens `dir`; with `create`, makes it and its missing parents first,
    // each for its owner alone (0700) from the moment it exists. False with
    // *error when a level cannot be opened or made, or when one may be
    // changed by another user: "LEVEL may be changed by another user (owner
    // UID, mode MODE)", the mode in octal as 0777.
    bool open(const std::string& dir, bool create, std::string* error);

    // Creates `name` in the directory, failing when anything (a link
    // included) already stands there, readable and writable by its owner
    // only; stores `size` bytes of `data` through that same descriptor and
    // flushes them to disk. Taken: the name exists, nothing changed. Failed:
    // *error says why, and the file made is gone again.
    NewFileResult saveNew(const std::string& name, const uint8_t* data, size_t size, std::string* error);

    // Removes `name`, a file saveNew made, from the directory.
    void remove(const std::string& name);

    // The names the directory holds ("." and ".." left out), in no set
    // order; none when it cannot be listed.
    std::vector<std::string> names() const;

    // Reads the file `name` into the `size` bytes at `data` when it is a
    // regular file of exactly `size` bytes, on POSIX owned by this user or
    // root: a shared directory such as /tmp may hold anyone's files. Opened
    // without following a link and without waiting (a FIFO or a device
    // never holds the run up), the checks made on the descriptor opened, so
    // nothing swapped in between is read. False, `data` unspecified,
    // otherwise.
    bool readExact(const std::string& name, uint8_t* data, size_t size) const;

private:
    void close();
    std::string _path;
    intptr_t _handle = -1;  // a descriptor, or a Windows HANDLE
};
