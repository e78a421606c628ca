// Any byte string as a photo: decoded under the memory bound, then the
// chart looked for and measured. A decode that succeeds must give the size
// it claims; a measurement must be a refusal or a finite reading.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Focus.h"
#include "PhotoFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
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
