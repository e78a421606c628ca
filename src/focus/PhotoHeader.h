// A photo's header, read before decoding: what the file claims to be, and
// how much memory the decoder (stb) will hold to decode it, so that a photo
// too large to hold is refused before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace focus {

// A photo's bytes, in memory or in an open file, read at any offset through
// a small window: a header walk reads a few bytes at a time, skipping ahead.
class PhotoBytes {
public:
    PhotoBytes(const uint8_t* data, uint64_t size);
    // `file` (not owned) holds `size` bytes; reading moves its position.
    PhotoBytes(FILE* file, uint64_t size);
    PhotoBytes(const PhotoBytes&) = delete;
    PhotoBytes& operator=(const PhotoBytes&) = delete;

    uint64_t size() const { return _size; }
    // The byte at `offset`, or -1 past the end or when the file fails.
    int at(uint64_t offset);
    // The big-endian number in `count` (1 to 4) bytes at `offset`, or -1
    // when any of them is missing.
    int64_t bigEndian(uint64_t offset, int count);
    // Up to `count` bytes from the start; fewer when there are fewer.
    std::vector<uint8_t> head(size_t count);

private:
    static constexpr size_t kWindowBytes = 4096;
    bool fillWindow(uint64_t offset);

    const uint8_t* _data = nullptr;
    FILE* _file = nullptr;
    uint64_t _size = 0;
    uint8_t _window[kWindowBytes] = {};
    uint64_t _windowStart = 0;
    size_t _windowLength = 0;
};

enum class PhotoKind {
    NotAPhoto,       // neither a JPEG nor a PNG that the decoder reads
    CutShort,        // the bytes end inside the header
    ArithmeticJpeg,  // a JPEG whose frame the decoder does not read
    Jpeg,
    ProgressiveJpeg,
    Png,             // 1 to 8 bits per sample
    Png16,
};

struct PhotoHeader {
    PhotoKind kind = PhotoKind::NotAPhoto;
    int width = 0;  // pixels; set for the readable kinds only
    int height = 0;
    uint64_t decodeBytes = 0;    // the most the decoder holds at once
    uint64_t ordinaryBytes = 0;  // the same for the photo as an ordinary
                                 // (baseline) JPEG: what it could be saved as
    uint64_t leastBytes = 0;     // fewer bytes cannot hold the whole image
};

// Reads the header of the JPEG (markers up to its frame) or PNG (its IHDR
// chunk) in `bytes`. Only the header is read, whatever the file's size.
PhotoHeader readPhotoHeader(PhotoBytes& bytes);

// Whether `bytes` end as a whole photo of `kind` does: a JPEG with its end
// marker, a PNG with its IEND chunk.
bool endsWhole(PhotoBytes& bytes, PhotoKind kind);

}  // namespace focus
