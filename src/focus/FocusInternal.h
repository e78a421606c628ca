// Pieces of the measurement shared by its files; not for other modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Focus.h"

namespace focus {

// The middle of a column of the scale, across it, mm from the axis at y = 0.
constexpr double kColumnMiddle = kColumnInnerX + kStripesPerColumn * kStripeWidth / 2;

// Appends printf's output for `format` to `out`, cut at 255 bytes.
void appendf(std::string& out, const char* format, ...);

struct GreyView {
    const uint8_t* pixels;
    int width;
    int height;
    ptrdiff_t stride;
    uint8_t at(int x, int y) const { return pixels[static_cast<ptrdiff_t>(y) * stride + x]; }
};

// Linear light of an sRGB-encoded 8-bit value, 0 .. 1. Blur mixes light,
// so edges and marks are measured in it.
const float* linearLight();

// The chart's plane to the photo: image = (h0 x + h1 y + h2, h3 x + h4 y + h5)
// / w with w = h6 x + h7 y + h8, which is proportional to the distance from
// the camera (w > 0 on the chart). Image coordinates put pixel (i, j)'s
// centre at (i + 0.5, j + 0.5).
struct Homography {
    double h[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    Point apply(Point p) const;
    double w(Point p) const { return h[6] * p.x + h[7] * p.y + h[8]; }
    bool inverse(Homography& out) const;
};

// The homography taking from[k] to to[k]; false when three points are in line.
bool homographyFrom(const Point from[4], const Point to[4], Homography& out);

// The chart found in a photo: where it lies, and the light of its paper and
// of its ink there (linear). Mirrored: only a reflection of the chart fits
// the marks; toImage then maps the reflected chart.
struct ChartPose {
    Homography toImage;
    double white;
    double ink;
    bool mirrored = false;
};

// The median of `values` (the mean of the middle two for an even count); 0
// for none. One sort for all the measurement's medians keeps the code small.
double medianOf(std::vector<double> values);

// +1 when the chart's top end lies further from the camera than its bottom
// end, -1 when nearer, 0 when the scale factor changes too little to tell.
int farEndSign(const Homography& h);

// Finds the four corner marks and reads the chart's pose from them. False
// when no four marks make a chart.
bool findChart(const GreyView& image, ChartPose& pose);

}  // namespace focus
