#include "PhotoFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include "WinText.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "PhotoHeader.h"

#include <stb_image.h>
#include <stb_image_write.h>

namespace focus {
namespace {

const char kEmpty[] = "it is empty";
const char kDirectory[] = "it is a directory";
const char kNotRegularFile[] = "it is not a regular file";
const char kCutShort[] = "it is cut short";
const char kArithmetic[] = "it is an arithmetic-coded JPEG, which cannot be read; save it as an ordinary JPEG";
const char kNotAPhoto[] = "it is not a JPEG or PNG photo";

constexpr size_t kDigestChunkBytes = 64 * 1024;
constexpr uint64_t kFnvOffsetBasis = 14695981039346656037ull;
constexpr uint64_t kFnvPrime = 1099511628211ull;

const char* kindName(PhotoKind kind) {
    switch (kind) {
    case PhotoKind::ProgressiveJpeg: return "progressive JPEG";
    case PhotoKind::Png: return "PNG";
    case PhotoKind::Png16: return "16-bit PNG";
    default: return "JPEG";
    }
}

// Says what to save the photo as: an ordinary JPEG of the same size when
// the decoder could hold that, a smaller photo otherwise.
std::string tooLargeText(const PhotoHeader& header) {
    const bool ordinaryFits = header.ordinaryBytes <= kMaxDecodeBytes;
    const char* advice = "save it at a smaller size";
    if (ordinaryFits && header.kind == PhotoKind::ProgressiveJpeg) advice = "save it as an ordinary JPEG";
    const bool png = header.kind == PhotoKind::Png || header.kind == PhotoKind::Png16;
    if (ordinaryFits && png) advice = "save it as a JPEG";
    return "it is too large to measure (" + std::to_string(header.width) + " x " + std::to_string(header.height) +
           ", " + kindName(header.kind) + "); " + advice;
}

// Why the photo `header` describes, in `size` bytes, is not to be decoded;
// "" when it can be.
std::string refusalBeforeDecoding(const PhotoHeader& header, uint64_t size) {
    switch (header.kind) {
    case PhotoKind::NotAPhoto: return kNotAPhoto;
    case PhotoKind::CutShort: return kCutShort;
    case PhotoKind::ArithmeticJpeg: return kArithmetic;
    default: break;
    }
    if (double(header.width) * header.height > kMaxPhotoPixels)
        return "it has " + std::to_string(header.width) + " x " + std::to_string(header.height) +
               " pixels, more than any camera makes";
    if (header.decodeBytes > kMaxDecodeBytes) return tooLargeText(header);
    // Before the decoder allocates for the image the header claims.
    if (size < header.leastBytes) return kCutShort;
    return "";
}

// Why the decoder failed, in words: its own reasons mean nothing to a
// photographer.
std::string decodeFailureText(const PhotoHeader& header, PhotoBytes& bytes) {
    const char* reason = stbi_failure_reason();
    if (reason != nullptr && std::strcmp(reason, "outofmem") == 0) return tooLargeText(header);
    if ((reason != nullptr && std::strcmp(reason, "outofdata") == 0) || !endsWhole(bytes, header.kind))
        return kCutShort;
    return kNotAPhoto;
}

// Decodes the photo in `bytes` with `load` (stb reading the same bytes,
// from the start) once its header shows it can be decoded.
template <typename Load>
bool decodeChecked(PhotoBytes& bytes, Load load, GreyPhoto& photo, std::string& error) {
    if (bytes.size() == 0) {
        error = kEmpty;
        return false;
    }
    const PhotoHeader header = readPhotoHeader(bytes);
    const std::vector<uint8_t> head = bytes.head(kPhotoHeadBytes);
    error = refusalBeforeDecoding(header, bytes.size());
    if (header.kind == PhotoKind::NotAPhoto)
        if (const char* words = formatRefusalText(photoFormat(head.data(), head.size()))) error = words;
    if (!error.empty()) return false;
    int width = 0, height = 0, channels = 0;
    stbi_uc* pixels = load(&width, &height, &channels);
    if (pixels == nullptr) {
        error = decodeFailureText(header, bytes);
        return false;
    }
    photo.width = width;
    photo.height = height;
    photo.pixels = std::unique_ptr<uint8_t, void (*)(void*)>(pixels, stbi_image_free);
    photo.tags = readExif(head.data(), head.size());
    return true;
}

#ifdef _WIN32
// Whether `path` names a device or a pipe (CON, NUL, COM1, \\.\pipe\...),
// which Windows spells out as \\.\NAME: one that would not open (CON with
// no console) is still no file to read.
bool isDeviceName(const std::wstring& path) {
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return length > 4 && length < MAX_PATH && std::wstring(full, 4) == L"\\\\.\\";
}
#endif

// Opens `path` for reading, only when it is a regular file with bytes in
// it, without waiting on a FIFO or device; the check is on what was opened.
// Null with `error` otherwise.
FILE* openRegularFile(const std::string& path, uint64_t& size, std::string& error) {
#ifdef _WIN32
    const std::wstring wide = widenAnsi(path);
    const int fd = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        const int code = errno;
        const DWORD attributes = GetFileAttributesW(wide.c_str());
        const bool directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        error = directory ? kDirectory : isDeviceName(wide) ? kNotRegularFile : std::strerror(code);
        return nullptr;
    }
    // NUL and CON are character devices, pipes are pipes: only a disk file
    // has an end to read to.
    struct _stat64 status {};
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK)
        error = kNotRegularFile;
    else if (_fstat64(fd, &status) != 0)
        error = std::strerror(errno);
    else if (status.st_size == 0)
        error = kEmpty;
    FILE* file = nullptr;
    if (error.empty() && (file = _fdopen(fd, "rb")) == nullptr) error = std::strerror(errno);
    if (file == nullptr) _close(fd);
#else
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0)
        error = std::strerror(errno);
    else if (S_ISDIR(status.st_mode))
        error = kDirectory;
    else if (!S_ISREG(status.st_mode))
        error = kNotRegularFile;
    else if (status.st_size == 0)
        error = kEmpty;
    FILE* file = nullptr;
    if (error.empty() && (file = fdopen(fd, "rb")) == nullptr) error = std::strerror(errno);
    if (file == nullptr) close(fd);
#endif
    size = file != nullptr ? uint64_t(status.st_size) : 0;
    return file;
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
    PhotoBytes bytes(data, size);
    const int length = static_cast<int>(std::min<size_t>(size, INT_MAX));
    auto load = [&](int* width, int* height, int* channels) {
        return stbi_load_from_memory(data, length, width, height, channels, 1);
    };
    return decodeChecked(bytes, load, photo, error);
}

bool readGreyPhoto(const std::string& path, GreyPhoto& photo, std::string& error) {
    uint64_t size = 0;
    FILE* file = openRegularFile(path, size, error);
    if (file == nullptr) return false;
    PhotoBytes bytes(file, size);
    // stb reads the file through its own small buffer: the decoded grey
    // image is the only large allocation that stays.
    auto load = [&](int* width, int* height, int* channels) {
        std::rewind(file);
        return stbi_load_from_file(file, width, height, channels, 1);
    };
    const bool ok = decodeChecked(bytes, load, photo, error);
    std::fclose(file);
    return ok;
}

bool photoDigest(const std::string& path, PhotoDigest& digest, std::string& error) {
    FILE* file = openRegularFile(path, digest.size, error);
    if (file == nullptr) return false;
    std::vector<uint8_t> chunk(kDigestChunkBytes);
    digest.hash = kFnvOffsetBasis;
    for (size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;)
        for (size_t i = 0; i < got; ++i) digest.hash = (digest.hash ^ chunk[i]) * kFnvPrime;
    const bool ok = !std::ferror(file);
    if (!ok) error = std::strerror(errno);
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
