// The one way this tool writes a file the user may already have (a settings
// file, a settings backup): nothing is lost when a save fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Stores `size` bytes of `data` as `path`.
// - An existing regular file (or the file a symlink names; the link stays)
//   is replaced atomically: a temporary file created exclusively in the
//   same directory, written, flushed to disk, then renamed over it. The new
//   file keeps the old one's mode, and its owner and group where allowed.
// - A missing file is created the same way.
// - A character device or FIFO is written in place, never replaced.
// - A read-only file, a directory, a block device or a socket is refused.
// Returns true when every byte is stored. On false, *error holds a short
// reason in plain words, the target is exactly as it was, and no
// temporary file is left behind.
bool safeSave(const std::string& path, const uint8_t* data, size_t size, std::string* error);
