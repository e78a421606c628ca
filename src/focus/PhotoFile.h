// Photos for the focus assistant: a JPEG or PNG file decoded straight to
// one grey channel, the only copy kept in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "PhotoTags.h"

namespace focus {

// Larger photos are refused before decoding: no camera makes them.
constexpr double kMaxPhotoPixels = 400e6;

// The most the decoder may hold at once, in bytes (512 MB; with the
// program's own few MB the process stays within 512 MiB). A photo whose
// header says decoding needs more is refused before decoding, and the
// decoder's allocations stop there whatever the header says.
constexpr size_t kMaxDecodeBytes = 512000000;

struct GreyPhoto {
    int width = 0;
    int height = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> pixels{nullptr, nullptr};
    PhotoTags tags;  // from the photo's EXIF; empty where it has none
};

// A JPEG's EXIF lies in its first segments, and a TIFF's first directory
// near its start: this much of a photo tells both.
constexpr size_t kPhotoHeadBytes = 128 * 1024;

// Decodes `size` bytes of JPEG or PNG, once their header shows they can be
// decoded within kMaxDecodeBytes, and reads its EXIF into `photo.tags`.
// False with `error` a sentence for the photographer: it is empty, cut
// short, too large (and what to save it as), arithmetic-coded, a format
// told by its bytes (RAW, HEIF, TIFF, WebP), or not a JPEG or PNG photo.
bool decodeGreyPhoto(const uint8_t* data, size_t size, GreyPhoto& photo, std::string& error);

// Reads and decodes the file at `path` as decodeGreyPhoto does, without
// waiting on a FIFO or device. False with `error` as there, or the system's
// words when it cannot be opened, or "it is a directory", or "it is not a
// regular file".
bool readGreyPhoto(const std::string& path, GreyPhoto& photo, std::string& error);

// A file's bytes, summed up: equal digests, the same photo.
struct PhotoDigest {
    uint64_t size = 0;  // bytes
    uint64_t hash = 0;  // 64-bit FNV-1a
    bool operator==(const PhotoDigest& other) const { return size == other.size && hash == other.hash; }
};

// The digest of the regular file at `path`, read through a small buffer.
// False with `error` as readGreyPhoto words a file it cannot open.
bool photoDigest(const std::string& path, PhotoDigest& digest, std::string& error);

// The JPEG of an 8-bit grey image at `quality` (1 .. 100), or a PNG when
// `quality` is 0; `dpi` (PNG only, when positive) is stored for printing.
std::string encodeGrey(const uint8_t* pixels, int width, int height, int quality, int dpi = 0);

}  // namespace focus
