// The picture of where a measurement looked: the photo resampled through
// the chart's pose into the chart's own frame, so that the stripes' blur
// and the marks show as the finder took them, with what the measurement
// found drawn over them.
#include <algorithm>
#include <cmath>

#include "FocusInternal.h"

namespace focus {
namespace {

constexpr int kPictureHeight = static_cast<int>(2 * kPictureHalfHeightMm * kPicturePxPerMm + 0.5);
// Photo pixels averaged into one picture pixel, at most this many each way:
// enough that a fine photo's noise does not alias into the stripes.
constexpr int kMaxSamples = 3;
constexpr double kOutsidePhoto = 128;
// The sharp zone is lightened by this share of the way to white, which
// leaves its stripes' edges plain to see.
constexpr double kZoneLighten = 0.4;
// The focus line: black within kLineCore px of it, white on to kLineHalo,
// so it shows over ink and paper alike.
constexpr double kLineCore = 1.5;
constexpr double kLineHalo = 3.0;
// The target's pointers: black triangles from the picture's side edges,
// tips this far from the axis (clear of the scale's stripes), mm, widening
// by this much either side per mm.
constexpr double kPointerTip = 86.0;
constexpr double kPointerSpread = 0.5;
constexpr uint8_t kInk = 0;
constexpr uint8_t kPaper = 255;

// Grey at image point `p` (pixel centres at +0.5), bilinear; kOutsidePhoto
// off the photo.
double greyAt(const GreyView& image, Point p) {
    const double u = p.x - 0.5, v = p.y - 0.5;
    if (!(u >= 0 && v >= 0 && u <= image.width - 1 && v <= image.height - 1)) return kOutsidePhoto;
    const int x = std::min(static_cast<int>(u), image.width - 2);
    const int y = std::min(static_cast<int>(v), image.height - 2);
    const double fx = u - x, fy = v - y;
    const double top = image.at(x, y) + (image.at(x + 1, y) - image.at(x, y)) * fx;
    const double bottom = image.at(x, y + 1) + (image.at(x + 1, y + 1) - image.at(x, y + 1)) * fx;
    return top + (bottom - top) * fy;
}

// The picture's frame: mm from the target, x to the right, y away from the
// camera (up the picture). `flip` is -1 when the chart's top edge lay
// toward the camera, turning the chart half round.
Point chartPoint(double x, double y, int flip) { return {flip * x, flip * y}; }

// The photo straightened, each picture pixel the mean of samples x samples
// points of the photo.
void straighten(const GreyView& image, const Homography& toImage, int flip, int samples, GreyImage& picture) {
    const double step = 1 / (kPicturePxPerMm * samples);
    uint8_t* out = picture.pixels.data();
    for (int row = 0; row < picture.height; ++row) {
        const double top = kPictureHalfHeightMm - row / kPicturePxPerMm;
        for (int col = 0; col < picture.width; ++col, ++out) {
            const double left = col / kPicturePxPerMm - kPictureHalfWidthMm;
            double sum = 0;
            for (int j = 0; j < samples; ++j) {
                for (int i = 0; i < samples; ++i) {
                    const Point at = chartPoint(left + (i + 0.5) * step, top - (j + 0.5) * step, flip);
                    sum += greyAt(image, toImage.apply(at));
                }
            }
            *out = static_cast<uint8_t>(std::lround(sum / (samples * samples)));
        }
    }
}

// The focus line across the picture over its sharp zone, lightened; the
// line's tilt is where the two columns found focus.
void drawFocus(const Measurement& m, GreyImage& picture) {
    const double tilt = m.sides_disagree_mm / (2 * kColumnMiddle);
    uint8_t* out = picture.pixels.data();
    for (int row = 0; row < picture.height; ++row) {
        const double y = kPictureHalfHeightMm - (row + 0.5) / kPicturePxPerMm;
        for (int col = 0; col < picture.width; ++col, ++out) {
            const double x = (col + 0.5) / kPicturePxPerMm - kPictureHalfWidthMm;
            const double off = std::fabs(y - (m.focus_mm + tilt * x));
            if (off * kPicturePxPerMm < kLineCore)
                *out = kInk;
            else if (off * kPicturePxPerMm < kLineHalo)
                *out = kPaper;
            else if (off < m.sharp_zone_mm / 2)
                *out = static_cast<uint8_t>(std::lround(*out + (kPaper - *out) * kZoneLighten));
        }
    }
}

// Triangles pointing in at the target's depth from both side edges.
void drawTargetPointers(GreyImage& picture) {
    uint8_t* out = picture.pixels.data();
    for (int row = 0; row < picture.height; ++row) {
        const double y = kPictureHalfHeightMm - (row + 0.5) / kPicturePxPerMm;
        for (int col = 0; col < picture.width; ++col, ++out) {
            const double x = (col + 0.5) / kPicturePxPerMm - kPictureHalfWidthMm;
            if (std::fabs(y) <= (std::fabs(x) - kPointerTip) * kPointerSpread) *out = kInk;
        }
    }
}

// The photo's own px per mm of the chart at the target.
double photoPxPerMm(const Homography& toImage) {
    const Point origin = toImage.apply({0, 0}), unitX = toImage.apply({1, 0});
    return std::hypot(unitX.x - origin.x, unitX.y - origin.y);
}

}  // namespace

bool focusPicture(const uint8_t* pixels, int width, int height, ptrdiff_t stride, const Measurement& m,
                  GreyImage& picture) {
    picture = GreyImage{};
    if (pixels == nullptr || width < 16 || height < 16 || stride < width) return false;
    const GreyView image{pixels, width, height, stride};
    ChartPose pose;
    if (!findChart(image, pose)) return false;
    const int flip = farEndSign(pose.toImage) < 0 ? -1 : 1;
    const int reduction = static_cast<int>(std::ceil(photoPxPerMm(pose.toImage) / kPicturePxPerMm));
    const int samples = std::clamp(reduction, 1, kMaxSamples);
    picture.width = kPictureWidth;
    picture.height = kPictureHeight;
    picture.pixels.assign(static_cast<size_t>(picture.width) * picture.height, 0);
    straighten(image, pose.toImage, flip, samples, picture);
    if (m.refusal == Refusal::None) drawFocus(m, picture);
    drawTargetPointers(picture);
    return true;
}

}  // namespace focus
