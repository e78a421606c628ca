// The one way this tool writes a file the user may already have (a settings
// file, a settings backup): nothing is lost when a save fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Stores `size` bytes of `data` as `path`.
// - The path is opened as given, never truncated, so the system's own
//   rules on links and permissions decide whether it may be written; a link
//   is followed only where the system lets this user open it for writing.
// - An existing regular file (or the file a symlink names; the link stays)
//   is replaced atomically: a temporary file readable by its owner only,
//   created exclusively in the same directory, written, flushed to disk,
//   given the old file's owner and group (where allowed), extended
//   attributes (ACLs included; where they cannot be copied the save fails)
//   and mode, then renamed over it.
// - A missing file is created the same way, with the mode of any new file.
// - A character device, a FIFO, a pipe or socket the tool holds, and the
//   tool's own stdout or stderr are written in place, never replaced.
// - A read-only file, a directory, a block device, a socket and a link to
//   a missing file are refused.
// Returns true when every byte is stored. On false, *error holds a short
// reason in plain words, the target is exactly as it was, and no
// temporary file is left behind.
bool safeSave(const std::string& path, const uint8_t* data, size_t size, std::string* error);

// Whether safeSave could store a file at `path` now, checked without
// changing it: it can be opened (or created) for writing and a temporary
// file can be made beside it. FIFOs and devices are not opened. On false,
// *error holds the reason safeSave would give.
bool safeSaveCheck(const std::string& path, std::string* error);

// What PrivateDirectory::saveNew did.
enum class NewFileResult { Saved, Taken, Failed };

// A directory held open while new files are made in it, so each lands in
// the directory that was checked, whatever its path names meanwhile.
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

private:
    void close();
    std::string _path;
    intptr_t _handle = -1;  // a descriptor, or a Windows HANDLE
};
