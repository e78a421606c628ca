// stb's JPEG and PNG codecs, compiled once for the focus program and the
// virtual camera. Only the formats a camera writes are decoded.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "PhotoFile.h"

namespace {

// The decoder's blocks carry their size in front, so that what it holds
// is known and capped at kMaxDecodeBytes: a file that inflates to more
// than its header promised fails to decode instead of taking the memory.
constexpr size_t kSizePrefix = 16;  // keeps malloc's alignment behind it
std::atomic<size_t> decoderHeld{0};

bool reserve(size_t bytes) {
    if (decoderHeld.fetch_add(bytes) + bytes <= focus::kMaxDecodeBytes) return true;
    decoderHeld -= bytes;
    return false;
}

size_t blockSize(void* data) {
    size_t size = 0;
    std::memcpy(&size, static_cast<char*>(data) - kSizePrefix, sizeof size);
    return size;
}

void* withSize(void* block, size_t size) {
    std::memcpy(block, &size, sizeof size);
    return static_cast<char*>(block) + kSizePrefix;
}

void* decoderAlloc(size_t size) {
    if (size > focus::kMaxDecodeBytes || !reserve(size)) return nullptr;
    void* block = std::malloc(size + kSizePrefix);
    if (block != nullptr) return withSize(block, size);
    decoderHeld -= size;
    return nullptr;
}

void decoderFree(void* data) {
    if (data == nullptr) return;
    decoderHeld -= blockSize(data);
    std::free(static_cast<char*>(data) - kSizePrefix);
}

void* decoderRealloc(void* data, size_t size) {
    if (data == nullptr) return decoderAlloc(size);
    const size_t old = blockSize(data);
    if (size > focus::kMaxDecodeBytes || (size > old && !reserve(size - old))) return nullptr;
    void* block = std::realloc(static_cast<char*>(data) - kSizePrefix, size + kSizePrefix);
    if (block == nullptr) {
        if (size > old) decoderHeld -= size - old;
        return nullptr;
    }
    if (size < old) decoderHeld -= old - size;
    return withSize(block, size);
}

}  // namespace

#define STBI_MALLOC(size) decoderAlloc(size)
#define STBI_REALLOC(data, size) decoderRealloc(data, size)
#define STBI_FREE(data) decoderFree(data)
#define STBI_ONLY_JPEG
#define STBI_ONLY_PNG
#define STBI_NO_HDR
#define STBI_NO_LINEAR
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>
