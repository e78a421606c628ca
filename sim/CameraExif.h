// The EXIF a camera writes into its JPEGs, for the tags the focus
// assistant reads: Make and Model in IFD0, FNumber, FocalLength and
// FocalLengthIn35mmFilm in the Exif IFD.
#pragma once

#include <string>

#include "PhotoTags.h"

namespace camera {

// A JPEG APP1 segment, marker and length included, holding `tags` in a TIFF
// structure of either byte order; empty text and numbers of 0 are left
// out. Rationals are stored in hundredths.
std::string exifSegment(const focus::PhotoTags& tags, bool bigEndian = false);

// `jpeg` with `segment` right after its start-of-image marker; unchanged
// when it does not start with one.
std::string withSegment(const std::string& jpeg, const std::string& segment);

}  // namespace camera
