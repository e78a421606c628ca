#include "PhotoHeader.h"

#include <algorithm>
#include <cstdio>

namespace focus {
namespace {

// JPEG markers: the byte after 0xFF.
constexpr int kMarkerPrefix = 0xFF;
constexpr int kStuffedZero = 0x00;
constexpr int kMarkerTemporary = 0x01;
constexpr int kMarkerFrameFirst = 0xC0;  // SOF0 to SOF15, but for the three below
constexpr int kMarkerFrameLast = 0xCF;
constexpr int kMarkerHuffmanTables = 0xC4;
constexpr int kMarkerReserved = 0xC8;
constexpr int kMarkerArithmeticTables = 0xCC;
constexpr int kMarkerBaseline = 0xC0;
constexpr int kMarkerExtended = 0xC1;
constexpr int kMarkerProgressive = 0xC2;
constexpr int kMarkerArithmeticFirst = 0xC9;  // frames from here on code arithmetically
constexpr int kMarkerRestartFirst = 0xD0;     // RST0 .. RST7, SOI and EOI stand alone
constexpr int kMarkerImageStart = 0xD8;
constexpr int kMarkerImageEnd = 0xD9;
constexpr int kMarkerScan = 0xDA;
constexpr int kSegmentLengthBytes = 2;  // a segment's length counts itself

// A frame header's fields, as offsets from its length.
constexpr int kFrameHeight = 3;
constexpr int kFrameWidth = 5;
constexpr int kFrameComponents = 7;
constexpr int kFrameFirstSampling = 9;  // each component: id, sampling, table
constexpr int kComponentBytes = 3;
constexpr int kMaxSampling = 4;  // a sampling factor, across or down
constexpr uint64_t kBlockSide = 8;
// The decoder keeps, for each sample of a progressive JPEG, its byte and a
// 2-byte coefficient.
constexpr uint64_t kProgressiveBytesPerSample = 3;
// No JPEG holds an image in fewer bytes: a block needs a few bits at least.
constexpr uint64_t kJpegPixelsPerByte = 512;

constexpr int kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint64_t kPngFirstChunk = 8;
constexpr uint64_t kPngChunkType = kPngFirstChunk + 4;
constexpr uint64_t kPngWidth = kPngFirstChunk + 8;  // then height, depth, colour,
constexpr uint64_t kPngHeight = kPngWidth + 4;      // compression, filter, interlace
constexpr uint64_t kPngDepth = kPngHeight + 4;
constexpr int64_t kPngIhdrLength = 13;
constexpr int64_t kPngIhdr = 0x49484452;  // "IHDR"
constexpr int64_t kPngIend = 0x49454E44;  // "IEND"
constexpr uint64_t kPngEndChunkBytes = 12;  // IEND: length 0, type, CRC
constexpr int kPngGrey = 0;
constexpr int kPngPalette = 3;
constexpr int kPngMaxColourType = 6;
constexpr int kPngWideDepth = 16;
constexpr int64_t kDecoderMaxSide = 1 << 24;  // the decoder's own limit
constexpr uint64_t kPaletteExpandedChannels = 4;
// Deflate's best ratio: no smaller PNG inflates to its rows.
constexpr uint64_t kPngMaxInflation = 1032;

PhotoHeader ofKind(PhotoKind kind) {
    PhotoHeader header;
    header.kind = kind;
    return header;
}

bool isFrame(int marker) {
    return marker >= kMarkerFrameFirst && marker <= kMarkerFrameLast && marker != kMarkerHuffmanTables &&
           marker != kMarkerReserved && marker != kMarkerArithmeticTables;
}

// A marker without a segment, or the scan: before the frame, not a photo.
bool endsHeaderEarly(int marker) {
    return marker == kStuffedZero || marker == kMarkerTemporary ||
           (marker >= kMarkerRestartFirst && marker <= kMarkerScan);
}

// The marker at or after `pos`, which moves past it; -1 when the bytes end.
// Stray bytes before it and fill bytes are skipped, as the decoder does.
int nextMarker(PhotoBytes& bytes, uint64_t& pos) {
    int c = bytes.at(pos++);
    while (c >= 0 && c != kMarkerPrefix) c = bytes.at(pos++);
    while (c == kMarkerPrefix) c = bytes.at(pos++);
    return c;
}

// What the decoder holds for a JPEG of `count` components sampled
// `sampling` (across in the high nibble, down in the low): each component
// padded to whole blocks of the largest sampling, and the grey output.
uint64_t jpegDecodeBytes(int width, int height, const int* sampling, int count, bool progressive) {
    uint64_t across = 1, down = 1;
    for (int i = 0; i < count; ++i) {
        across = std::max<uint64_t>(across, sampling[i] >> 4);
        down = std::max<uint64_t>(down, sampling[i] & 0xF);
    }
    const uint64_t unitsAcross = (width + kBlockSide * across - 1) / (kBlockSide * across);
    const uint64_t unitsDown = (height + kBlockSide * down - 1) / (kBlockSide * down);
    uint64_t bytes = uint64_t(width) * uint64_t(height);
    for (int i = 0; i < count; ++i) {
        const uint64_t samples =
            unitsAcross * (sampling[i] >> 4) * kBlockSide * unitsDown * (sampling[i] & 0xF) * kBlockSide;
        bytes += samples * (progressive ? kProgressiveBytesPerSample : 1);
    }
    return bytes;
}

// A colour JPEG as cameras save it (chroma halved both ways): what a photo
// of another format could be saved as.
uint64_t cameraJpegDecodeBytes(int width, int height) {
    const int sampling[] = {0x22, 0x11, 0x11};
    return jpegDecodeBytes(width, height, sampling, 3, false);
}

// The frame header after `marker`, its length at `pos`.
PhotoHeader readJpegFrame(PhotoBytes& bytes, uint64_t pos, int marker) {
    if (marker >= kMarkerArithmeticFirst) return ofKind(PhotoKind::ArithmeticJpeg);
    if (marker != kMarkerBaseline && marker != kMarkerExtended && marker != kMarkerProgressive)
        return ofKind(PhotoKind::NotAPhoto);  // lossless or hierarchical
    const int count = bytes.at(pos + kFrameComponents);
    if (count < 0) return ofKind(PhotoKind::CutShort);
    if (count != 1 && count != 3 && count != 4) return ofKind(PhotoKind::NotAPhoto);
    if (bytes.at(pos + kFrameFirstSampling + kComponentBytes * (count - 1)) < 0) return ofKind(PhotoKind::CutShort);
    int sampling[4];
    for (int i = 0; i < count; ++i) {
        sampling[i] = bytes.at(pos + kFrameFirstSampling + kComponentBytes * i);
        if (sampling[i] >> 4 < 1 || sampling[i] >> 4 > kMaxSampling || (sampling[i] & 0xF) < 1 ||
            (sampling[i] & 0xF) > kMaxSampling)
            return ofKind(PhotoKind::NotAPhoto);
    }
    PhotoHeader header;
    header.kind = marker == kMarkerProgressive ? PhotoKind::ProgressiveJpeg : PhotoKind::Jpeg;
    header.width = static_cast<int>(bytes.bigEndian(pos + kFrameWidth, 2));
    header.height = static_cast<int>(bytes.bigEndian(pos + kFrameHeight, 2));
    if (header.width == 0 || header.height == 0) return ofKind(PhotoKind::NotAPhoto);
    header.decodeBytes = jpegDecodeBytes(header.width, header.height, sampling, count, marker == kMarkerProgressive);
    header.ordinaryBytes = jpegDecodeBytes(header.width, header.height, sampling, count, false);
    header.leastBytes = uint64_t(header.width) * uint64_t(header.height) / kJpegPixelsPerByte;
    return header;
}

// Walks the segments after the start of image to the frame header.
PhotoHeader readJpegHeader(PhotoBytes& bytes) {
    uint64_t pos = 0;
    int marker = nextMarker(bytes, pos);
    if (marker != kMarkerImageStart) return ofKind(marker < 0 ? PhotoKind::CutShort : PhotoKind::NotAPhoto);
    for (;;) {
        marker = nextMarker(bytes, pos);
        if (marker < 0) return ofKind(PhotoKind::CutShort);
        if (isFrame(marker)) return readJpegFrame(bytes, pos, marker);
        if (endsHeaderEarly(marker)) return ofKind(PhotoKind::NotAPhoto);
        const int64_t length = bytes.bigEndian(pos, kSegmentLengthBytes);
        if (length < 0) return ofKind(PhotoKind::CutShort);
        if (length < kSegmentLengthBytes) return ofKind(PhotoKind::NotAPhoto);
        pos += uint64_t(length);
    }
}

uint64_t pngChannels(int colour) {
    static const uint64_t channels[] = {1, 0, 3, 1, 2, 0, 4};  // by colour type
    return colour >= 0 && colour <= kPngMaxColourType ? channels[colour] : 0;
}

bool pngDepthAllowed(int colour, int depth) {
    if (colour == kPngGrey) return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == kPngWideDepth;
    if (colour == kPngPalette) return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    return pngChannels(colour) > 0 && (depth == 8 || depth == kPngWideDepth);
}

// The image's rows as inflated: each with its filter byte.
uint64_t pngRowsBytes(uint64_t width, uint64_t height, int depth, int colour) {
    return ((pngChannels(colour) * width * depth + 7) / 8 + 1) * height;
}

// What the decoder holds for a PNG, the most of its steps: the compressed
// data (twice over at worst, as its buffer grows) with the inflated rows;
// the rows with the image (and the assembled one when interlaced, the
// colours when paletted); that image with its grey; 16-bit grey with 8-bit.
uint64_t pngDecodeBytes(uint64_t fileBytes, uint64_t width, uint64_t height, int depth, int colour, bool interlaced) {
    const bool palette = colour == kPngPalette;
    const uint64_t channels = pngChannels(colour);
    const uint64_t sampleBytes = depth == kPngWideDepth ? 2 : 1;
    const uint64_t pixels = width * height;
    const uint64_t rows = pngRowsBytes(width, height, depth, colour);
    const uint64_t image = pixels * channels * sampleBytes;
    const uint64_t colours = palette ? pixels * kPaletteExpandedChannels : image;
    uint64_t most = 2 * fileBytes + rows;
    most = std::max(most, rows + image * (interlaced ? 2 : 1) + (palette ? colours : 0));
    if (colours != pixels * sampleBytes) most = std::max(most, colours + pixels * sampleBytes);
    if (sampleBytes == 2) most = std::max(most, pixels * sampleBytes + pixels);
    return most;
}

// The signature, then the IHDR chunk.
PhotoHeader readPngHeader(PhotoBytes& bytes) {
    for (uint64_t i = 0; i < kPngFirstChunk; ++i) {
        const int c = bytes.at(i);
        if (c != kPngSignature[i]) return ofKind(c < 0 ? PhotoKind::CutShort : PhotoKind::NotAPhoto);
    }
    const uint64_t interlaceAt = kPngDepth + 4;
    if (bytes.at(interlaceAt) < 0) return ofKind(PhotoKind::CutShort);
    const int64_t width = bytes.bigEndian(kPngWidth, 4);
    const int64_t height = bytes.bigEndian(kPngHeight, 4);
    const int depth = bytes.at(kPngDepth);
    const int colour = bytes.at(kPngDepth + 1);
    const int interlace = bytes.at(interlaceAt);
    if (bytes.bigEndian(kPngFirstChunk, 4) != kPngIhdrLength || bytes.bigEndian(kPngChunkType, 4) != kPngIhdr ||
        width < 1 || height < 1 || width > kDecoderMaxSide || height > kDecoderMaxSide ||
        !pngDepthAllowed(colour, depth) || bytes.at(kPngDepth + 2) != 0 || bytes.at(kPngDepth + 3) != 0 ||
        interlace > 1)
        return ofKind(PhotoKind::NotAPhoto);
    PhotoHeader header;
    header.kind = depth == kPngWideDepth ? PhotoKind::Png16 : PhotoKind::Png;
    header.width = static_cast<int>(width);
    header.height = static_cast<int>(height);
    header.decodeBytes = pngDecodeBytes(bytes.size(), uint64_t(width), uint64_t(height), depth, colour, interlace == 1);
    header.ordinaryBytes = cameraJpegDecodeBytes(header.width, header.height);
    header.leastBytes = pngRowsBytes(uint64_t(width), uint64_t(height), depth, colour) / kPngMaxInflation;
    return header;
}

}  // namespace

PhotoBytes::PhotoBytes(const uint8_t* data, uint64_t size) : _data(data), _size(size) {}

PhotoBytes::PhotoBytes(FILE* file, uint64_t size) : _file(file), _size(size) {}

bool PhotoBytes::fillWindow(uint64_t offset) {
    _windowStart = offset;
    _windowLength = 0;
#ifdef _WIN32
    if (_fseeki64(_file, static_cast<long long>(offset), SEEK_SET) != 0) return false;
#else
    if (fseeko(_file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
#endif
    _windowLength = std::fread(_window, 1, kWindowBytes, _file);
    return _windowLength > 0;
}

int PhotoBytes::at(uint64_t offset) {
    if (offset >= _size) return -1;
    if (_data != nullptr) return _data[offset];
    if (offset - _windowStart >= _windowLength && !fillWindow(offset)) return -1;
    return _window[offset - _windowStart];
}

std::vector<uint8_t> PhotoBytes::head(size_t count) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(std::min<uint64_t>(count, _size)));
    for (int byte; out.size() < count && (byte = at(out.size())) >= 0;) out.push_back(static_cast<uint8_t>(byte));
    return out;
}

int64_t PhotoBytes::bigEndian(uint64_t offset, int count) {
    int64_t value = 0;
    for (int i = 0; i < count; ++i) {
        const int byte = at(offset + i);
        if (byte < 0) return -1;
        value = value << 8 | byte;
    }
    return value;
}

PhotoHeader readPhotoHeader(PhotoBytes& bytes) {
    const int first = bytes.at(0);
    if (first == kMarkerPrefix) return readJpegHeader(bytes);
    if (first == kPngSignature[0]) return readPngHeader(bytes);
    return ofKind(PhotoKind::NotAPhoto);
}

bool endsWhole(PhotoBytes& bytes, PhotoKind kind) {
    const uint64_t size = bytes.size();
    if (kind == PhotoKind::Jpeg || kind == PhotoKind::ProgressiveJpeg)
        return size >= 2 && bytes.at(size - 2) == kMarkerPrefix && bytes.at(size - 1) == kMarkerImageEnd;
    if (kind == PhotoKind::Png || kind == PhotoKind::Png16)
        return size >= kPngEndChunkBytes && bytes.bigEndian(size - kPngEndChunkBytes, 4) == 0 &&
               bytes.bigEndian(size - kPngEndChunkBytes + 4, 4) == kPngIend;
    return true;
}

}  // namespace focus
