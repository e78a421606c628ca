// Photos for the focus assistant: a JPEG or PNG file decoded straight to
// one grey channel, the only copy kept in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace focus {

// Larger photos are refused before decoding: no camera makes them.
constexpr double kMaxPhotoPixels = 400e6;

struct GreyPhoto {
    int width = 0;
    int height = 0;
    std::unique_ptr<uint8_t, void (*)(void*)> pixels{nullptr, nullptr};
};

// Decodes `size` bytes of JPEG or PNG. False with `error` in plain words.
bool decodeGreyPhoto(const uint8_t* data, size_t size, GreyPhoto& photo, std::string& error);

// Reads and decodes the file at `path`. False with `error` in plain words.
bool readGreyPhoto(const std::string& path, GreyPhoto& photo, std::string& error);

// The JPEG of an 8-bit grey image at `quality` (1 .. 100), or a PNG when
// `quality` is 0; `dpi` (PNG only, when positive) is stored for printing.
std::string encodeGrey(const uint8_t* pixels, int width, int height, int quality, int dpi = 0);

}  // namespace focus
