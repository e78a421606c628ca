// The virtual camera: photographs the printed focus chart lying on a table,
// as a camera with a thin lens would, so that the focus assistant can be
// proven against the truth. Everything follows from the scene and its seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Focus.h"

namespace camera {

// What the chart lies on: a plain grey table, or a pattern whose dark
// squares or bands could pass for the chart's marks.
enum class Table { Plain, Checker, Stripes };

struct Scene {
    double angleDeg = 45;    // between the chart and the line of sight
    double distance = 25;    // to the target, in focal lengths
    double focalMm = 85;
    double fNumber = 2;
    int iso = 200;
    double sharpen = 0;      // in-camera sharpening: unsharp mask amount
    int quality = 90;        // JPEG quality; 0 for a PNG
    double rollDeg = 0;      // the camera turned about the line of sight
    double yawDeg = 0;       // the chart turned on the table; 180: its top edge toward the camera
    double vignetting = 0.3; // share of light lost in the photo's corners
    // Where the lens focuses: focusMm along the chart's middle line at value
    // 0, + away from the camera whichever way the chart lies, moved
    // mmPerStep for each step of the correction value, plus the autofocus's
    // own scatter (standard deviation, mm).
    double focusMm = 0;
    int value = 0;
    double mmPerStep = 0.5;
    double scatterMm = 0;
    uint64_t seed = 1;
    int width = 2400;        // the crop around the chart, px
    int height = 2400;
    double fill = 0.9;       // the paper's share of the crop's width or height
    focus::Paper paper = focus::Paper::A4;
    // The EXIF a JPEG carries, unless exif is false: these, the focal length
    // and f-number above, and a 35 mm-equivalent focal length when positive.
    bool exif = true;
    std::string make = "PelagoXcon";
    std::string model = "virtual camera";
    double focal35Mm = 0;
    Table table = Table::Plain;
};

// What the photo shows, in mm along the chart's middle line from the
// target, + away from the camera (so with the chart turned 180 degrees, + is
// toward the chart's bottom edge).
struct Truth {
    double focusMm;         // where the plane of sharp focus crosses the axis
    double nearMm;          // the depth of field along the axis, for a
    double farMm;           // circle of confusion of focus::kSharpBlurPx
    double depthOfFieldMm;
    double pxPerMm;         // the chart's size at the target
};

// Checks a scene's values; false with `error` saying which is out of range.
bool validScene(const Scene& scene, std::string& error);

Truth truth(const Scene& scene);

// The photo as 8-bit grey, sRGB-encoded, width x height, rendered in tiles.
std::vector<uint8_t> photograph(const Scene& scene);

// The photo as a JPEG with the scene's EXIF (or a PNG when the scene's
// quality is 0).
std::string photographFile(const Scene& scene);

}  // namespace camera
