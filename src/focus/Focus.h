// The focus assistant: a printed chart, the measurement of one photo of it,
// and the correction value proposed from photos at two or more values.
// Plain C++ over grey pixels, with no file or OS access, so that the
// console program and the web page run the same code.
//
// Chart coordinates, the contract every photo is read by: millimetres,
// origin at the page's centre, which is the autofocus target's centre; x
// toward the page's right edge, y along the long axis toward its top edge.
// Laid with its bottom edge toward the camera, +y runs away from the
// camera. The chart is the same on A4 and Letter paper; only the page
// around it differs.
// - The autofocus target: short bars in both orientations, every edge
//   within kTargetHalfDepth of y = 0, nothing else within
//   kTargetClearHalfDepth of it between the two columns of the scale.
// - The depth scale: two columns of slanted stripes, kStripeWidth wide,
//   alternately black and white, black at the inner and outer edges, either
//   side of the target (the left column mirrors the right). Right column:
//   stripe i (0 .. kStripesPerColumn - 1) spans
//   x = kColumnInnerX + i * kStripeWidth + kStripeSlant * y to one stripe
//   further, for |y| <= kScaleHalfLength; i even is black. Every boundary
//   is an edge whose blur is measured along the whole scale.
// - Four corner marks, squares of kMarkSize centred at (+-kMarkX, +-kMarkY);
//   the top-left one alone has a white square hole of kMarkHoleSize, so a
//   photo's orientation is read from the marks.
// - A bar kCheckBarLength long for checking the print scale, a line of
//   instructions along the bottom edge, and the scale's numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CorrectionRange.h"

namespace focus {

// --- The chart ---------------------------------------------------------

constexpr double kTargetHalfDepth = 1.0;
constexpr double kTargetClearHalfDepth = 20.0;
constexpr double kStripeWidth = 4.0;
constexpr int kStripesPerColumn = 15;
constexpr double kColumnInnerX = 22.0;
constexpr double kStripeSlant = 0.06;  // x shift per mm of y
constexpr double kScaleHalfLength = 96.0;
// The part of the scale a photo is measured over: clear of the stripes' ends.
constexpr double kMeasuredHalfLength = 92.0;
constexpr double kMarkX = 86.0;
constexpr double kMarkY = 122.0;
constexpr double kMarkSize = 18.0;
constexpr double kMarkHoleSize = 8.0;
constexpr double kCheckBarLength = 100.0;

struct Point {
    double x;
    double y;
};

// A convex shape of the chart's ink, corners in order, in chart mm.
struct Shape {
    int corners;  // 3 or 4
    Point p[4];
};

enum class Paper { A4, Letter };

struct PageSize {
    double width_mm;
    double height_mm;
};

PageSize pageSize(Paper paper);

// Every black shape of the chart. Shapes never overlap; some share edges.
const std::vector<Shape>& chartInk();

// The chart as an SVG document or a one-page PDF, vector, at 100 %.
std::string chartSvg(Paper paper);
std::string chartPdf(Paper paper);
// The chart alone, its box the ink's bounds (190 x 262 mm): at 100 % it fits
// A4 and Letter within a printer's margins, whichever paper is loaded.
std::string chartSvgUnframed();

// --- Measuring one photo -----------------------------------------------

// Why a photo cannot be trusted; None for a result.
// PastFarEnd and PastNearEnd: the sharpest place lies beyond that end of the
// measured scale (kMeasuredHalfLength), though the end is still sharp.
// Mirrored: the marks show the chart's handedness reversed. NearEndUnknown:
// the chart's scale factor changes by less than kMinScaleChange from one end
// of the scale to the other, so the side of the focus cannot be told.
enum class Refusal { None, ChartNotFound, NothingSharp, PastFarEnd, PastNearEnd, SharpZoneTooLong, Mirrored, NearEndUnknown };

constexpr bool isPastEnd(Refusal refusal) { return refusal == Refusal::PastFarEnd || refusal == Refusal::PastNearEnd; }

// The least relative change of the chart's scale factor along its scale
// from which the nearer end is told.
constexpr double kMinScaleChange = 0.005;

// The refusal's words, as the user reads them after "PHOTO: ".
const char* refusalText(Refusal refusal);
// A sharp zone too long is cut by moving this close, in focal lengths.
constexpr int kCloseFocalLengths = 15;
// The refusal's words for a lens of `focal_mm` (from the photo or the lens's
// settings; 0 or less when unknown): SharpZoneTooLong then adds where to
// stand, " (0.5 m for this 35 mm lens)"; otherwise refusalText's.
std::string refusalTextForLens(Refusal refusal, double focal_mm);

struct Measurement {
    Refusal refusal;
    // Where the plane of sharp focus crosses the chart's y axis, mm; + is
    // beyond the target (away from the camera), whichever end of the chart
    // lies nearer.
    double focus_mm;
    // The length of the scale that is sharp: blurred by less than
    // kSharpBlurPx at the target's distance, mm.
    double sharp_zone_mm;
    // Quality figures, for judging a result:
    double blur_px_per_mm;     // growth of the blur disc per mm along the chart, px
    double sharpest_blur_px;   // blur at the sharpest place: pixels, processing, shake
    double sides_disagree_mm;  // where the two columns found focus, right minus left
    double fit_residual;       // relative rms of the blur measurements around their fit
    int bands;                 // 1 mm bands of the two columns that were measured
    double px_per_mm;          // size of the chart at the target, px per mm
};

// The sharp zone's blur limit: the circle of confusion, px.
constexpr double kSharpBlurPx = 1.5;

// Measures an 8-bit grey photo (sRGB-encoded, as cameras store it) of the
// chart, `stride` bytes from one row to the next. Any size; never reads
// outside the rows given.
Measurement measureGrey(const uint8_t* pixels, int width, int height, ptrdiff_t stride);

// The line a result prints: "Focus lies D mm beyond the target (on the
// chart)." and the like; for a refusal, its words.
std::string measurementLine(const Measurement& m);
// One JSON object: focus_mm, sharp_zone_mm and the quality figures.
std::string measurementJson(const Measurement& m);

// A check photo, taken with the correction at `value`, shows focus on the
// target when it lies within this share of its sharp zone.
constexpr double kOnTargetShare = 0.1;
// Whether the check photo measured `m` shows focus on the target; `line`
// says so, or how far off it lies ("At 8, focus lies 1.2 mm beyond the
// target, ..."). A refused measurement is not on target; `line` its words.
bool checkLine(const Measurement& m, int value, std::string& line);

// --- Where it looked -----------------------------------------------------

// The picture of a measured photo: the whole chart straightened, its nearer
// end at the bottom as the camera saw it, pointers at the target's depth on
// both edges, and for a result the focus line (tilted as the two columns
// found it) across a lightened band of the sharp zone. A wrong detection
// shows as a chart that is not the chart.
constexpr int kPictureWidth = 800;              // px
constexpr double kPictureHalfWidthMm = 98.0;    // chart mm either side of the target
constexpr double kPictureHalfHeightMm = 134.0;  // along the axis either side
constexpr double kPicturePxPerMm = kPictureWidth / (2 * kPictureHalfWidthMm);

// 8-bit grey pixels, sRGB-encoded, row after row without padding.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// Draws the picture of the photo (as measureGrey takes it) that measured
// `m`: kPictureWidth px wide, the target at its middle, kPicturePxPerMm px
// to every mm of the chart; what lies outside the photo is mid
// grey. A refusal gets the chart without the focus line. False, `picture`
// left empty, when the chart is not found in the photo.
bool focusPicture(const uint8_t* pixels, int width, int height, ptrdiff_t stride, const Measurement& m,
                  GreyImage& picture);

// --- Proposing the value -------------------------------------------------

constexpr int kValueMin = kAfMin;
constexpr int kValueMax = kAfMax;
// Values closer than this cannot show how far one step moves the focus.
constexpr int kMinValueSpread = 5;
// Whether photos at values from `lowest` to `highest` can make a proposal.
constexpr bool valuesSpreadEnough(int lowest, int highest) { return highest - lowest >= kMinValueSpread; }

// One measured photo taken with the correction set to `value`.
struct Sample {
    int value;
    double focus_mm;
    double sharp_zone_mm;
};

enum class ProposeRefusal { None, TooFewValues, Disagree, SamePlace };

struct ValueFocus {
    int value;
    double median_focus_mm;
    double spread_mm;  // largest minus smallest focus of its photos
    int photos;
};

struct Proposal {
    ProposeRefusal refusal;
    int disagreeing_value;     // Disagree: the value whose photos disagree
    double disagreement_mm;    // and by how much
    int value;                 // the value to set, in kValueMin .. kValueMax
    double exact;              // the unrounded, unclamped value
    double mm_per_step;        // focus shift per step along the chart
    bool check_photo;          // value lies outside the values tried by more than their spread
    bool beyond_range;         // value was clamped to the adapter's range
    // Where the photos place the best value, in values around `exact`:
    // about two standard errors either side, from the photos' scatter.
    double low;
    double high;
    std::vector<ValueFocus> at;  // one per value tried, in increasing order
};

// Combines the photos at each value by their median and fits the focus
// shift per step across the values; the value that puts focus on the
// target, rounded half away from zero and clamped to the adapter's range.
Proposal propose(const Sample* samples, size_t count);

// An interval wider than this many values asks for more photos.
constexpr double kWideInterval = 4.0;

// The lines a proposal or its refusal prints, each ending in a newline:
// the value, where the photos place it, and what to do next.
std::string proposalText(const Proposal& p);
// One JSON object: value, exact, low, high, mm_per_step and the median
// focus at each value.
std::string proposalJson(const Proposal& p);

// The value to take photos at instead of `past`, whose photos put the focus
// past an end of the chart, when photos at the values `measured` (count of
// them) were measured: halfway from the nearest of those, `nearest`, toward
// `past`, and at least kMinValueSpread from it. False when no other value
// was measured, or none lies between that far from `nearest`.
bool closerValue(int past, const int* measured, size_t count, int& nearest, int& closer);
// "At V the focus moved past the end of the chart: take these photos at a
// value closer to U, such as W." (with a newline) from closerValue; "" when
// it has none.
std::string pastEndText(int past, const int* measured, size_t count);

}  // namespace focus
