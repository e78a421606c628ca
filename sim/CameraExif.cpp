#include "CameraExif.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace camera {
namespace {

using namespace focus::exif;


constexpr uint32_t kTiffHeaderBytes = 8;
constexpr uint16_t kTiffMagic = 42;
constexpr uint32_t kEntryBytes = 12;
constexpr uint32_t kInlineBytes = 4;
constexpr uint32_t kRationalDenominator = 100;
constexpr size_t kMaxTextBytes = 255;  // keeps the segment far below its 64 KB limit
const char kApp1[] = "\xFF\xE1";
const char kExifHeader[] = "Exif\0\0";
constexpr size_t kExifHeaderBytes = sizeof kExifHeader - 1;
constexpr size_t kSegmentLengthBytes = 2;

struct Field {
    uint16_t tag;
    uint16_t type;
    uint32_t count;
    std::string value;  // in the file's byte order
};

struct Order {
    bool big;
    std::string bytes(uint32_t v, int n) const {
        std::string out;
        for (int i = 0; i < n; ++i) out += static_cast<char>(v >> 8 * (big ? n - 1 - i : i));
        return out;
    }
};

// The directory of `fields` at `at`, its longer values after it, evenly aligned.
std::string directory(const std::vector<Field>& fields, uint32_t at, const Order& o) {
    std::string entries = o.bytes(static_cast<uint32_t>(fields.size()), 2), data;
    const uint32_t dataAt = at + 2 + kEntryBytes * static_cast<uint32_t>(fields.size()) + kInlineBytes;
    for (const Field& f : fields) {
        entries += o.bytes(f.tag, 2) + o.bytes(f.type, 2) + o.bytes(f.count, 4);
        if (f.value.size() <= kInlineBytes) {
            entries += f.value + std::string(kInlineBytes - f.value.size(), '\0');
            continue;
        }
        entries += o.bytes(dataAt + static_cast<uint32_t>(data.size()), 4);
        data += f.value;
        if (data.size() % 2) data += '\0';
    }
    return entries + o.bytes(0, 4) + data;
}

void addText(std::vector<Field>& fields, uint16_t tag, const std::string& text) {
    if (text.empty()) return;
    const std::string value = text.substr(0, kMaxTextBytes) + '\0';
    fields.push_back({tag, kTypeAscii, static_cast<uint32_t>(value.size()), value});
}

void addRational(std::vector<Field>& fields, uint16_t tag, double v, const Order& o) {
    if (v <= 0) return;
    const auto hundredths = static_cast<uint32_t>(std::lround(v * kRationalDenominator));
    fields.push_back({tag, kTypeRational, 1, o.bytes(hundredths, 4) + o.bytes(kRationalDenominator, 4)});
}

}  // namespace

std::string exifSegment(const focus::PhotoTags& tags, bool bigEndian) {
    const Order o{bigEndian};
    std::vector<Field> ifd0, exif;
    addText(ifd0, kTagMake, tags.make);
    addText(ifd0, kTagModel, tags.model);
    addRational(exif, kTagFNumber, tags.f_number, o);
    addRational(exif, kTagFocalLength, tags.focal_length_mm, o);
    if (tags.focal_35mm > 0)
        exif.push_back({kTagFocal35, kTypeShort, 1, o.bytes(static_cast<uint32_t>(std::lround(tags.focal_35mm)), 2)});
    // The pointer sits in IFD0 itself, so IFD0's size does not hang on it.
    if (!exif.empty()) ifd0.push_back({kTagExifIfd, kTypeLong, 1, o.bytes(0, 4)});
    const uint32_t exifAt = kTiffHeaderBytes + static_cast<uint32_t>(directory(ifd0, kTiffHeaderBytes, o).size());
    if (!exif.empty()) ifd0.back().value = o.bytes(exifAt, 4);
    std::string tiff = std::string(bigEndian ? "MM" : "II") + o.bytes(kTiffMagic, 2) + o.bytes(kTiffHeaderBytes, 4);
    tiff += directory(ifd0, kTiffHeaderBytes, o);
    if (!exif.empty()) tiff += directory(exif, exifAt, o);
    const Order segmentOrder{true};
    return kApp1 + segmentOrder.bytes(static_cast<uint32_t>(kSegmentLengthBytes + kExifHeaderBytes + tiff.size()), 2) +
           std::string(kExifHeader, kExifHeaderBytes) + tiff;
}

std::string withSegment(const std::string& jpeg, const std::string& segment) {
    const std::string startOfImage = "\xFF\xD8";
    if (jpeg.compare(0, startOfImage.size(), startOfImage) != 0) return jpeg;
    return startOfImage + segment + jpeg.substr(startOfImage.size());
}

}  // namespace camera
