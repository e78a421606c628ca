// What a photo file says about itself before any pixel is decoded: its
// format, told by its first bytes whatever its name, and the few EXIF tags
// that show whether it was taken with the camera and lens being tuned.
// Pure functions over bytes, for the console program and the page alike;
// none reads outside the bytes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace focus {

enum class PhotoFormat { Unknown, Jpeg, Png, Raw, Heif, Tiff, WebP };

// The format that the first `size` bytes of a file show. A TIFF is Raw
// when its first directory names a camera (Make) or a DNG version, or it
// is a CR2; its directory must lie within the bytes given to be read.
// Unknown for anything else, including bytes too few to tell.
PhotoFormat photoFormat(const uint8_t* data, size_t size);

// The words refusing a photo of `format`, as the user reads them after
// "PHOTO: "; nullptr for JPEG, PNG and Unknown, which the decoder judges.
const char* formatRefusalText(PhotoFormat format);

// The EXIF tags and field types read here (and written by the virtual
// camera), as TIFF numbers them.
namespace exif {
constexpr uint16_t kTagMake = 0x010F;
constexpr uint16_t kTagModel = 0x0110;
constexpr uint16_t kTagFNumber = 0x829D;
constexpr uint16_t kTagExifIfd = 0x8769;
constexpr uint16_t kTagFocalLength = 0x920A;
constexpr uint16_t kTagFocal35 = 0xA405;
constexpr uint16_t kTypeAscii = 2;
constexpr uint16_t kTypeShort = 3;
constexpr uint16_t kTypeLong = 4;
constexpr uint16_t kTypeRational = 5;
}  // namespace exif

// The EXIF tags a photo is checked by. Text is as the file holds it, cut at
// its first NUL, trailing spaces dropped; a number is 0 when absent.
struct PhotoTags {
    std::string make;
    std::string model;
    double focal_length_mm = 0;  // FocalLength; a stored 0 counts as absent
    double focal_35mm = 0;       // FocalLengthIn35mmFilm, mm
    double f_number = 0;         // FNumber
};

// The tags of a JPEG's first APP1 "Exif" segment, from IFD0 and the Exif
// IFD, either byte order. Whatever is missing, malformed or lies outside
// the `size` bytes is absent: a file without EXIF gives empty tags.
PhotoTags readExif(const uint8_t* data, size_t size);

// The camera as one name: Make and Model joined by a space, or Model alone
// when it already starts with the maker's first word ("Canon EOS R5");
// empty when both are absent. Raw text: escape it before showing it.
std::string cameraName(const PhotoTags& tags);

// A length in mm the short way, to a tenth: "85", "18.5".
std::string millimetreText(double mm);
// An f-number as lenses mark it, two significant digits and whole from 10
// up: "0.95", "2", "2.8", "11".
std::string fNumberText(double f);

// The focal length and aperture a photo was taken at, as a lens is marked:
// "85 mm · f/1.4", either alone, or "" when the EXIF has neither.
std::string takenWithText(const PhotoTags& tags);

// `text` as a quoted JSON string of ASCII alone: quote, backslash and
// controls escaped, and every byte from 0x80 as \u00XX (EXIF text is
// ASCII; other bytes are shown as Latin-1), so that it reaches any console
// safely.
std::string jsonString(const std::string& text);

// `json`, one JSON object, with "focal_length_mm", "f_number" and "camera"
// added before its closing brace for each that `tags` has.
std::string withPhotoTags(const std::string& json, const PhotoTags& tags);

// Below this focal length, or with a 35 mm-equivalent more than
// kPhoneCropFactor times it, the photo comes from a phone's tiny sensor.
constexpr double kPhoneFocalLimitMm = 10.0;
constexpr double kPhoneCropFactor = 2.0;

// The words refusing a phone's photo, after "PHOTO: "; nullptr when the
// tags do not show a phone.
const char* phoneRefusalText(const PhotoTags& tags);

// A prime's photo may read this far from its marked focal length
// (rounded markings, focus breathing) and still be from it.
constexpr double kPrimeFocalTolerance = 0.05;

// The question asked of a photo taken at a focal length that lens `lens`,
// `wide_mm` to `tele_mm` (equal for a prime), cannot have: "taken at 35 mm;
// lens 3 is 100 mm: is this the right lens?"; "" when it can, or when the
// focal length or the lens's range is unknown.
std::string lensMismatchText(const PhotoTags& tags, int lens, int wide_mm, int tele_mm);

// The line refusing photos taken at one correction value with different
// f-numbers or focal lengths (tags absent from a photo are not compared);
// empty when each value's photos agree. Photo i was taken at `values[i]`
// and has `tags[i]`; the lowest value that disagrees is named, apertures
// before focal lengths.
std::string mixedSettingsText(const int* values, const PhotoTags* tags, size_t count);

}  // namespace focus
