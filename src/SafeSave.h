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
