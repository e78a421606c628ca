// File formats by their magic bytes, and a JPEG's EXIF read from its TIFF
// structure. Every read goes through Reader::read, which checks the bounds
// in 64-bit arithmetic, so that no offset in a file can reach past it.
#include "PhotoTags.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <vector>

namespace focus {
namespace {

using namespace std::literals;
using namespace exif;

// JPEG markers.
constexpr uint8_t kMarker = 0xFF;
constexpr uint8_t kStartOfImage = 0xD8;
constexpr uint8_t kEndOfImage = 0xD9;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kApp1 = 0xE1;
constexpr uint8_t kFirstRestart = 0xD0;
constexpr uint8_t kLastRestart = 0xD7;
constexpr uint8_t kTemporary = 0x01;
constexpr size_t kMarkerBytes = 2;
constexpr size_t kSegmentLengthBytes = 2;
constexpr std::string_view kExifHeader = "Exif\0\0"sv;

// TIFF structure.
constexpr size_t kTiffHeaderBytes = 8;
constexpr uint32_t kTiffMagic = 42;
constexpr size_t kEntryCountBytes = 2;
constexpr size_t kEntryBytes = 12;
constexpr size_t kInlineValueBytes = 4;
constexpr uint32_t kMaxEntries = 1024;  // far above any camera's; bounds a corrupt count
constexpr size_t kMaxTextBytes = 128;
constexpr size_t kCr2MarkAt = 8;
constexpr std::string_view kCr2Mark = "CR"sv;

constexpr uint16_t kTagDngVersion = 0xC612;

constexpr uint16_t kTypeIfd = 13;

// ISO base media files (HEIF, CR3): a first box "ftyp" listing brands.
constexpr size_t kBoxTypeAt = 4;
constexpr std::string_view kFileTypeBox = "ftyp"sv;
constexpr size_t kMajorBrandAt = 8;
constexpr size_t kCompatibleBrandsAt = 16;
constexpr size_t kBrandBytes = 4;
constexpr std::string_view kCanonRawBrand = "crx "sv;
// AVIF is HEIF with AV1 inside, and lists mif1 among its brands anyway.
constexpr std::string_view kHeifBrands[] = {"heic"sv, "heix"sv, "heim"sv, "heis"sv, "hevc"sv, "hevx"sv, "hevm"sv,
                                            "hevs"sv, "mif1"sv, "mif2"sv, "msf1"sv, "avif"sv, "avis"sv};

constexpr std::string_view kRiff = "RIFF"sv;
constexpr size_t kRiffFormatAt = 8;
constexpr std::string_view kWebP = "WEBP"sv;

struct Magic {
    size_t at;
    std::string_view bytes;
    PhotoFormat format;
};

const Magic kMagics[] = {
    {0, "\xFF\xD8\xFF"sv, PhotoFormat::Jpeg},
    {0, "\x89PNG\r\n\x1A\n"sv, PhotoFormat::Png},
    {0, "FUJIFILMCCD-RAW"sv, PhotoFormat::Raw},  // RAF
    {0, "IIRO"sv, PhotoFormat::Raw},             // ORF
    {0, "IIRS"sv, PhotoFormat::Raw},
    {0, "MMOR"sv, PhotoFormat::Raw},
    {0, "IIU\0"sv, PhotoFormat::Raw},             // RW2
    {0, "\0MRM"sv, PhotoFormat::Raw},             // MRW
    {0, "FOVb"sv, PhotoFormat::Raw},              // X3F
    {6, "HEAPCCDR"sv, PhotoFormat::Raw},          // CRW
};

constexpr std::string_view kTiffLittle = "II*\0"sv;
constexpr std::string_view kTiffBig = "MM\0*"sv;

bool hasAt(const uint8_t* data, size_t size, size_t at, std::string_view bytes) {
    return at <= size && bytes.size() <= size - at &&
           std::equal(bytes.begin(), bytes.end(), data + at, [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// `size` bytes read as numbers in one byte order: a TIFF structure's, or
// big-endian for a media box.
struct Reader {
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool bigEndian = false;

    // `bytes` (1 to 4) at `at` as an unsigned number; false when any lies outside.
    bool read(uint64_t at, size_t bytes, uint32_t& value) const {
        if (at > size || bytes > size - at) return false;
        value = 0;
        for (size_t i = 0; i < bytes; ++i) value = (value << 8) | data[at + (bigEndian ? i : bytes - 1 - i)];
        return true;
    }
};

// Checks the header; false when it is no TIFF. `ifd0`: its first directory.
bool openTiff(const uint8_t* data, size_t size, Reader& tiff, uint32_t& ifd0) {
    if (!hasAt(data, size, 0, "II"sv) && !hasAt(data, size, 0, "MM"sv)) return false;
    tiff = Reader{data, size, data[0] == 'M'};
    uint32_t magic = 0;
    return size >= kTiffHeaderBytes && tiff.read(2, 2, magic) && magic == kTiffMagic && tiff.read(4, 4, ifd0);
}

struct Entry {
    uint32_t tag;
    uint32_t type;
    uint32_t count;
    uint64_t valueAt;  // where the value lies: in the entry when it fits
};

size_t typeBytes(uint32_t type) {
    switch (type) {
    case kTypeAscii: return 1;
    case kTypeShort: return 2;
    case kTypeLong:
    case kTypeIfd: return 4;
    case kTypeRational: return 8;
    default: return 0;  // not read
    }
}

// Calls `visit` with each entry of the directory at `ifd`, up to the first
// that lies outside the bytes.
template <class Visit>
void forEachEntry(const Reader& tiff, uint32_t ifd, Visit visit) {
    uint32_t count = 0;
    if (!tiff.read(ifd, kEntryCountBytes, count)) return;
    for (uint32_t i = 0; i < std::min(count, kMaxEntries); ++i) {
        const uint64_t at = uint64_t(ifd) + kEntryCountBytes + uint64_t(i) * kEntryBytes;
        Entry e{};
        uint32_t offset = 0;
        if (!tiff.read(at, 2, e.tag) || !tiff.read(at + 2, 2, e.type) || !tiff.read(at + 4, 4, e.count) ||
            !tiff.read(at + 8, 4, offset))
            return;
        e.valueAt = uint64_t(e.count) * typeBytes(e.type) <= kInlineValueBytes ? at + 8 : offset;
        visit(e);
    }
}

// The first value of a SHORT, LONG or RATIONAL entry; 0 when it cannot be
// read or its denominator is 0.
double numberOf(const Reader& tiff, const Entry& e) {
    uint32_t a = 0, b = 0;
    if (e.count == 0) return 0;
    switch (e.type) {
    case kTypeShort: return tiff.read(e.valueAt, 2, a) ? a : 0;
    case kTypeLong:
    case kTypeIfd: return tiff.read(e.valueAt, 4, a) ? a : 0;
    case kTypeRational: return tiff.read(e.valueAt, 4, a) && tiff.read(e.valueAt + 4, 4, b) && b != 0 ? double(a) / b : 0;
    default: return 0;
    }
}

// An ASCII entry's text, cut at its NUL, trailing spaces dropped; empty
// when it reaches outside the bytes.
std::string textOf(const Reader& tiff, const Entry& e) {
    if (e.type != kTypeAscii || e.valueAt > tiff.size || e.count > tiff.size - e.valueAt) return "";
    std::string text(reinterpret_cast<const char*>(tiff.data + e.valueAt), std::min<size_t>(e.count, kMaxTextBytes));
    text.resize(std::min(text.find('\0'), text.size()));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Takes the tags this reader knows from the directory at `ifd`.
void readDirectory(const Reader& tiff, uint32_t ifd, PhotoTags& tags, uint32_t& exifIfd) {
    forEachEntry(tiff, ifd, [&](const Entry& e) {
        switch (e.tag) {
        case kTagMake: tags.make = textOf(tiff, e); break;
        case kTagModel: tags.model = textOf(tiff, e); break;
        case kTagFocalLength: tags.focal_length_mm = numberOf(tiff, e); break;
        case kTagFocal35: tags.focal_35mm = numberOf(tiff, e); break;
        case kTagFNumber: tags.f_number = numberOf(tiff, e); break;
        case kTagExifIfd: exifIfd = static_cast<uint32_t>(numberOf(tiff, e)); break;
        default: break;
        }
    });
}

// Where the TIFF structure of the first APP1 "Exif" segment lies; false
// when the JPEG's header segments have none.
bool findExif(const uint8_t* data, size_t size, size_t& at, size_t& length) {
    if (size < kMarkerBytes || data[0] != kMarker || data[1] != kStartOfImage) return false;
    size_t i = kMarkerBytes;
    while (i + kMarkerBytes + kSegmentLengthBytes <= size && data[i] == kMarker) {
        const uint8_t marker = data[i + 1];
        if (marker == kMarker) {  // fill byte
            ++i;
            continue;
        }
        if (marker == kStartOfScan || marker == kEndOfImage) return false;
        if (marker == kTemporary || (marker >= kFirstRestart && marker <= kLastRestart)) {
            i += kMarkerBytes;
            continue;
        }
        const size_t segment = size_t(data[i + 2]) << 8 | data[i + 3];
        if (segment < kSegmentLengthBytes) return false;
        const size_t body = i + kMarkerBytes + kSegmentLengthBytes;
        const size_t bodyBytes = segment - kSegmentLengthBytes;
        if (marker == kApp1 && bodyBytes >= kExifHeader.size() && hasAt(data, size, body, kExifHeader)) {
            at = body + kExifHeader.size();
            // A segment cut short by the bytes given is read as far as it goes.
            length = std::min(bodyBytes - kExifHeader.size(), size - at);
            return true;
        }
        i = body + bodyBytes;
    }
    return false;
}

PhotoFormat tiffFormat(const uint8_t* data, size_t size) {
    if (hasAt(data, size, kCr2MarkAt, kCr2Mark)) return PhotoFormat::Raw;
    Reader tiff;
    uint32_t ifd0 = 0;
    bool camera = false;
    if (openTiff(data, size, tiff, ifd0))
        forEachEntry(tiff, ifd0, [&](const Entry& e) { camera = camera || e.tag == kTagMake || e.tag == kTagDngVersion; });
    return camera ? PhotoFormat::Raw : PhotoFormat::Tiff;
}

PhotoFormat isoMediaFormat(const uint8_t* data, size_t size) {
    uint32_t boxBytes = 0;
    Reader bigEndian{data, size, true};
    if (!bigEndian.read(0, 4, boxBytes)) return PhotoFormat::Unknown;
    const size_t end = std::min<size_t>(boxBytes, size);
    std::vector<std::string_view> brands;
    for (size_t at = kCompatibleBrandsAt; at + kBrandBytes <= end; at += kBrandBytes)
        brands.emplace_back(reinterpret_cast<const char*>(data + at), kBrandBytes);
    if (kMajorBrandAt + kBrandBytes <= end) brands.emplace_back(reinterpret_cast<const char*>(data + kMajorBrandAt), kBrandBytes);
    auto listed = [&](std::string_view brand) { return std::find(brands.begin(), brands.end(), brand) != brands.end(); };
    if (listed(kCanonRawBrand)) return PhotoFormat::Raw;
    return std::any_of(std::begin(kHeifBrands), std::end(kHeifBrands), listed) ? PhotoFormat::Heif : PhotoFormat::Unknown;
}

bool sameText(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

// `v` rounded to `decimals` places, trailing zeros and point dropped.
std::string trimmed(double v, int decimals) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    std::string s(buf);
    if (s.find('.') != std::string::npos) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s;
}

// A setting that all photos at one value must share.
struct Setting {
    double PhotoTags::*field;
    std::string (*text)(double);
    const char* before;
    const char* after;
    const char* advice;
};

const Setting kSettings[] = {
    {&PhotoTags::f_number, fNumberText, "f/", "", "take them all at the same aperture, the widest."},
    {&PhotoTags::focal_length_mm, millimetreText, "", " mm", "take them all with the same lens at the same focal length."},
};

// The refusal when the photos at `value` differ in `setting`, else empty.
std::string mixedSetting(int value, const Setting& setting, const int* values, const PhotoTags* tags, size_t count) {
    double lo = 0, hi = 0;
    for (size_t i = 0; i < count; ++i) {
        const double v = tags[i].*setting.field;
        if (values[i] != value || v <= 0) continue;
        lo = lo == 0 ? v : std::min(lo, v);
        hi = std::max(hi, v);
    }
    const std::string low = setting.text(lo), high = setting.text(hi);
    if (low == high) return "";
    return "The photos at " + std::to_string(value) + " were taken at " + setting.before + low + setting.after + " and " +
           setting.before + high + setting.after + "; " + setting.advice;
}

}  // namespace

PhotoFormat photoFormat(const uint8_t* data, size_t size) {
    for (const Magic& m : kMagics)
        if (hasAt(data, size, m.at, m.bytes)) return m.format;
    if (hasAt(data, size, 0, kTiffLittle) || hasAt(data, size, 0, kTiffBig)) return tiffFormat(data, size);
    if (hasAt(data, size, kBoxTypeAt, kFileTypeBox)) return isoMediaFormat(data, size);
    if (hasAt(data, size, 0, kRiff) && hasAt(data, size, kRiffFormatAt, kWebP)) return PhotoFormat::WebP;
    return PhotoFormat::Unknown;
}

const char* formatRefusalText(PhotoFormat format) {
    switch (format) {
    case PhotoFormat::Raw:
        return "it is a RAW file; set the camera to JPEG or RAW+JPEG for these photos, or export a full-size JPEG";
    case PhotoFormat::Heif: return "it is a HEIF photo; set the camera to JPEG for these photos";
    case PhotoFormat::Tiff: return "it is a TIFF image; save it as JPEG";
    case PhotoFormat::WebP: return "it is a WebP image; save it as JPEG";
    default: return nullptr;
    }
}

PhotoTags readExif(const uint8_t* data, size_t size) {
    PhotoTags tags;
    size_t at = 0, length = 0;
    Reader tiff;
    uint32_t ifd0 = 0, exifIfd = 0;
    if (!findExif(data, size, at, length) || !openTiff(data + at, length, tiff, ifd0)) return tags;
    readDirectory(tiff, ifd0, tags, exifIfd);
    // One step from IFD0 and no further: a pointer back cannot loop.
    uint32_t ignored = 0;
    if (exifIfd != 0 && exifIfd != ifd0) readDirectory(tiff, exifIfd, tags, ignored);
    return tags;
}

std::string cameraName(const PhotoTags& tags) {
    const std::string maker = tags.make.substr(0, tags.make.find(' '));
    const bool named = !maker.empty() && tags.model.size() >= maker.size() &&
                       std::equal(maker.begin(), maker.end(), tags.model.begin(), sameText);
    if (named || tags.make.empty()) return tags.model;
    return tags.model.empty() ? tags.make : tags.make + " " + tags.model;
}

std::string millimetreText(double mm) { return trimmed(mm, 1); }

std::string fNumberText(double f) {
    // Two significant digits: as many places as that leaves below 10.
    const double rounded10 = std::round(f * 10) / 10;
    return f < 1 ? trimmed(f, 2) : rounded10 < 10 ? trimmed(f, 1) : trimmed(f, 0);
}

std::string takenWithText(const PhotoTags& tags) {
    const std::string focal = tags.focal_length_mm > 0 ? millimetreText(tags.focal_length_mm) + " mm" : "";
    const std::string aperture = tags.f_number > 0 ? "f/" + fNumberText(tags.f_number) : "";
    return focal.empty() || aperture.empty() ? focal + aperture : focal + " \u00B7 " + aperture;
}

std::string lensMismatchText(const PhotoTags& tags, int lens, int wide_mm, int tele_mm) {
    const double f = tags.focal_length_mm;
    if (f <= 0 || wide_mm <= 0 || tele_mm < wide_mm) return "";
    const bool prime = wide_mm == tele_mm;
    const double slack = prime ? kPrimeFocalTolerance * wide_mm : 0;
    if (f >= wide_mm - slack && f <= tele_mm + slack) return "";
    const std::string range = prime ? std::to_string(wide_mm) : std::to_string(wide_mm) + "-" + std::to_string(tele_mm);
    return "taken at " + millimetreText(f) + " mm; lens " + std::to_string(lens) + " is " + range +
           " mm: is this the right lens?";
}

std::string jsonString(const std::string& text) {
    constexpr unsigned char kFirstPrintable = 0x20, kDelete = 0x7F;
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < kFirstPrintable || c >= kDelete) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string withPhotoTags(const std::string& json, const PhotoTags& tags) {
    if (json.empty() || json.back() != '}') return json;
    std::string members;
    if (tags.focal_length_mm > 0) members += ", \"focal_length_mm\": " + millimetreText(tags.focal_length_mm);
    if (tags.f_number > 0) members += ", \"f_number\": " + fNumberText(tags.f_number);
    const std::string camera = cameraName(tags);
    if (!camera.empty()) members += ", \"camera\": " + jsonString(camera);
    return json.substr(0, json.size() - 1) + members + "}";
}

const char* phoneRefusalText(const PhotoTags& tags) {
    const double f = tags.focal_length_mm;
    if (f > 0 && (f < kPhoneFocalLimitMm || tags.focal_35mm > kPhoneCropFactor * f))
        return "it was taken with a phone; take the photos with the camera, through the adapter";
    return nullptr;
}

std::string mixedSettingsText(const int* values, const PhotoTags* tags, size_t count) {
    std::vector<int> distinct(values, values + count);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (const int value : distinct)
        for (const Setting& setting : kSettings) {
            const std::string words = mixedSetting(value, setting, values, tags, count);
            if (!words.empty()) return words;
        }
    return "";
}

}  // namespace focus
