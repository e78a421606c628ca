// Any byte string as a photo: its format told by its bytes and its EXIF
// read, decoded under the memory bound, then the chart looked for and
// measured. A decode that succeeds must give the size it claims; a
// measurement must be a refusal or a finite reading.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Focus.h"
#include "PhotoFile.h"
#include "PhotoTags.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    focus::photoFormat(data, size);
    const focus::PhotoTags tags = focus::readExif(data, size);
    if (tags.focal_length_mm < 0 || tags.f_number < 0)
        std::abort();
    focus::phoneRefusalText(tags);
    focus::GreyPhoto photo;
    std::string error;
    if (!focus::decodeGreyPhoto(data, size, photo, error)) {
        if (error.empty())
            std::abort();
        return 0;
    }
    if (photo.width <= 0 || photo.height <= 0 || !photo.pixels)
        std::abort();
    const focus::Measurement m = focus::measureGrey(photo.pixels.get(), photo.width, photo.height, photo.width);
    if (m.refusal == focus::Refusal::None && !std::isfinite(m.focus_mm))
        std::abort();
    return 0;
}
