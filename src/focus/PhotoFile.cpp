#include "PhotoFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <stb_image.h>
#include <stb_image_write.h>

namespace focus {
namespace {

bool decoded(stbi_uc* pixels, int width, int height, GreyPhoto& photo, std::string& error) {
    if (pixels == nullptr) {
        error = std::string("it is not a JPEG or PNG photo that can be read (") + stbi_failure_reason() + ")";
        return false;
    }
    photo.width = width;
    photo.height = height;
    photo.pixels = std::unique_ptr<uint8_t, void (*)(void*)>(pixels, stbi_image_free);
    return true;
}

bool tooLarge(int width, int height, std::string& error) {
    if (double(width) * height <= kMaxPhotoPixels) return false;
    error = "it has " + std::to_string(width) + " x " + std::to_string(height) + " pixels, more than any camera makes";
    return true;
}

void appendBigEndian(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xFF);
}

uint32_t crc32(const std::string& bytes, size_t from) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = from; i < bytes.size(); ++i) {
        crc ^= static_cast<uint8_t>(bytes[i]);
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// A pHYs chunk, so that a printer knows the image's size on paper.
std::string physicalSize(int dpi) {
    const uint32_t perMetre = static_cast<uint32_t>(dpi / 0.0254 + 0.5);
    std::string chunk;
    appendBigEndian(chunk, 9);
    chunk += "pHYs";
    appendBigEndian(chunk, perMetre);
    appendBigEndian(chunk, perMetre);
    chunk += '\x01';  // unit: the metre
    appendBigEndian(chunk, crc32(chunk, 4));
    return chunk;
}

constexpr size_t kPngHeaderEnd = 8 + 25;  // signature, then the IHDR chunk

}  // namespace

bool decodeGreyPhoto(const uint8_t* data, size_t size, GreyPhoto& photo, std::string& error) {
    int width = 0, height = 0, channels = 0;
    const int length = static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF));
    if (stbi_info_from_memory(data, length, &width, &height, &channels) && tooLarge(width, height, error)) return false;
    return decoded(stbi_load_from_memory(data, length, &width, &height, &channels, 1), width, height, photo, error);
}

bool readGreyPhoto(const std::string& path, GreyPhoto& photo, std::string& error) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    int width = 0, height = 0, channels = 0;
    bool ok = true;
    if (stbi_info_from_file(file, &width, &height, &channels) && tooLarge(width, height, error)) {
        ok = false;
    } else {
        // stb reads the file through its own small buffer: the decoded
        // grey image is the only large allocation that stays.
        ok = decoded(stbi_load_from_file(file, &width, &height, &channels, 1), width, height, photo, error);
    }
    std::fclose(file);
    return ok;
}

std::string encodeGrey(const uint8_t* pixels, int width, int height, int quality, int dpi) {
    std::string out;
    auto append = [](void* context, void* data, int size) {
        static_cast<std::string*>(context)->append(static_cast<const char*>(data), static_cast<size_t>(size));
    };
    if (quality > 0) {
        stbi_write_jpg_to_func(append, &out, width, height, 1, pixels, quality);
        return out;
    }
    stbi_write_png_to_func(append, &out, width, height, 1, pixels, width);
    if (dpi > 0 && out.size() > kPngHeaderEnd) out.insert(kPngHeaderEnd, physicalSize(dpi));
    return out;
}

}  // namespace focus
