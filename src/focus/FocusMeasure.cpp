// Measuring one photo: the blur of every stripe edge of the scale, band by
// band along the chart, and where that blur is least.
//
// A thin lens blurs a point at distance z into a disc whose diameter is
// proportional to |z - z_focus| / z. Along the chart z is linear in y, and
// the homography's w is proportional to z, so b * w grows as |y - D|: a V
// whose vertex D is the focus. Squared, with a floor for the pixels, it is
// a parabola in y, fitted by weighted least squares to each column.
#include <algorithm>
#include <cmath>
#include <vector>

#include "FocusInternal.h"

namespace focus {
namespace {

constexpr double kBand = 1.0;            // mm of chart along y per measurement
constexpr double kBinWidth = 0.5;        // px across the edge
constexpr int kMaxBins = 512;
constexpr int kEdgesPerColumn = kStripesPerColumn + 1;
constexpr int kMinEdgesPerBand = 6;
// The edge's grey levels are taken this far out, as a share of the half window.
constexpr double kPlateauFrom = 0.5;
// An edge must keep this share of the paper-to-ink contrast to be measured.
constexpr double kMinContrast = 0.25;
// A blur disc wider than this share of the half window runs into the
// neighbouring edges.
constexpr double kMaxBlurOfWindow = 0.8;
// Integral of E (1 - E) across an edge blurred by a disc one pixel across.
constexpr double kDiscSpread = 0.1441;
constexpr int kMinBands = 12;
constexpr int kFitPasses = 6;
constexpr double kOutlierSigmas = 3.5;
// Beyond this floor the whole photo is blurred: the camera or chart moved.
constexpr double kMaxFloorPx = 4.0;

struct BandBlur {
    double y;     // band's middle, mm
    double blur;  // disc diameter in px, at the target's distance
};

struct VFit {
    bool ok = false;
    double vertex = 0;  // mm
    double slope = 0;   // px per mm
    double floor = 0;   // px
    double residual = 0;
    int used = 0;
};

// The stripe edge `edge` of the column on side `side` (+1 right, -1 left)
// at height y; its outer side is black when `edge` is even.
double edgeX(int side, int edge, double y) {
    return side * (kColumnInnerX + edge * kStripeWidth + kStripeSlant * y);
}

struct Vec {
    double x, y;
};
Vec sub(Point a, Point b) { return {a.x - b.x, a.y - b.y}; }
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }

// Blur of one edge over one band: the pixels near the edge binned by their
// distance across it into an edge profile, and the profile's spread.
// Negative when the edge cannot be measured.
double edgeBlur(const GreyView& image, const ChartPose& pose, int side, int edge, double y0, double y1,
                std::vector<double>& sums, std::vector<int>& counts) {
    const Homography& h = pose.toImage;
    const Point ca{edgeX(side, edge, y0), y0}, cb{edgeX(side, edge, y1), y1};
    const Point a = h.apply(ca), b = h.apply(cb);
    const Vec along = sub(b, a);
    const double length = std::sqrt(dot(along, along));
    if (length <= 0) return -1;
    const Vec d{along.x / length, along.y / length};
    // Outward: away from the chart's middle, where half a stripe lies.
    const Vec out = sub(h.apply({ca.x + side * kStripeWidth / 2, ca.y}), a);
    const double outAcross = out.x * -d.y + out.y * d.x;
    const Vec n = outAcross >= 0 ? Vec{-d.y, d.x} : Vec{d.y, -d.x};
    const double half = std::fabs(outAcross);
    const int bins = std::min(kMaxBins, static_cast<int>(2 * half / kBinWidth));
    if (bins < 8) return -1;
    const double binWidth = 2 * half / bins;
    sums.assign(static_cast<size_t>(bins), 0.0);
    counts.assign(static_cast<size_t>(bins), 0);

    const double xs[4] = {a.x + n.x * half, a.x - n.x * half, b.x + n.x * half, b.x - n.x * half};
    const double ys[4] = {a.y + n.y * half, a.y - n.y * half, b.y + n.y * half, b.y - n.y * half};
    const int x0 = std::max(0, static_cast<int>(*std::min_element(xs, xs + 4)));
    const int x1 = std::min(image.width, static_cast<int>(*std::max_element(xs, xs + 4)) + 1);
    const int iy0 = std::max(0, static_cast<int>(*std::min_element(ys, ys + 4)));
    const int iy1 = std::min(image.height, static_cast<int>(*std::max_element(ys, ys + 4)) + 1);
    const float* lin = linearLight();
    for (int y = iy0; y < iy1; ++y) {
        const uint8_t* row = image.pixels + static_cast<ptrdiff_t>(y) * image.stride;
        for (int x = x0; x < x1; ++x) {
            const Vec p{x + 0.5 - a.x, y + 0.5 - a.y};
            const double u = dot(p, d);
            const double t = dot(p, n) + half;
            if (u < 0 || u >= length || t < 0 || t >= 2 * half) continue;
            const int bin = static_cast<int>(t / binWidth);
            sums[bin] += lin[row[x]];
            ++counts[bin];
        }
    }
    // Empty bins (edges nearly along the pixel grid) take their neighbours' mean.
    std::vector<double> e(static_cast<size_t>(bins));
    int last = -1;
    for (int i = 0; i < bins; ++i) {
        if (!counts[i]) continue;
        e[i] = sums[i] / counts[i];
        for (int j = last + 1; j < i; ++j)
            e[j] = last < 0 ? e[i] : e[last] + (e[i] - e[last]) * (j - last) / double(i - last);
        last = i;
    }
    if (last < 0) return -1;
    for (int j = last + 1; j < bins; ++j) e[j] = e[last];
    // Profile from dark to light: outward is dark on even edges.
    if (edge % 2 == 0) std::reverse(e.begin(), e.end());
    const int plateau = static_cast<int>(bins * (1 - kPlateauFrom) / 2);
    double dark = 0, light = 0;
    for (int i = 0; i < plateau; ++i) {
        dark += e[i] / plateau;
        light += e[bins - 1 - i] / plateau;
    }
    const double contrast = light - dark;
    if (contrast < kMinContrast * (pose.white - pose.ink)) return -1;
    double spread = 0;
    for (double v : e) {
        const double f = (v - dark) / contrast;
        spread += f * (1 - f) * binWidth;
    }
    const double blur = spread / kDiscSpread;
    return blur <= kMaxBlurOfWindow * half ? std::max(blur, 0.0) : -1;
}

std::vector<BandBlur> measureColumn(const GreyView& image, const ChartPose& pose, int side) {
    std::vector<BandBlur> out;
    std::vector<double> sums, blurs;
    std::vector<int> counts;
    const double w0 = pose.toImage.w({0, 0});
    for (double y0 = -kMeasuredHalfLength; y0 + kBand <= kMeasuredHalfLength + 1e-9; y0 += kBand) {
        blurs.clear();
        for (int edge = 0; edge < kEdgesPerColumn; ++edge) {
            const double b = edgeBlur(image, pose, side, edge, y0, y0 + kBand, sums, counts);
            if (b >= 0) blurs.push_back(b);
        }
        if (static_cast<int>(blurs.size()) < kMinEdgesPerBand) continue;
        const double y = y0 + kBand / 2;
        const double depth = pose.toImage.w({side * (kColumnMiddle + kStripeSlant * y), y}) / w0;
        out.push_back({y, medianOf(blurs) * depth});
    }
    return out;
}

// Weighted least squares of blur^2 = a t^2 + c t + e, t = y - mid, each
// band weighted by its relative error; bands far off the fit are dropped.
// A `curvature` above 0 is taken as a, fitting c and e alone.
VFit fitV(const std::vector<BandBlur>& bands, double curvature = 0) {
    VFit fit;
    if (static_cast<int>(bands.size()) < kMinBands) return fit;
    double mid = 0;
    for (const BandBlur& b : bands) mid += b.y / bands.size();
    std::vector<double> model(bands.size()), residual(bands.size());
    std::vector<char> active(bands.size(), 1);
    for (size_t i = 0; i < bands.size(); ++i) model[i] = std::max(bands[i].blur, 0.5);
    double a = 0, c = 0, e = 0;
    for (int pass = 0; pass < kFitPasses; ++pass) {
        double m[3][4] = {};
        const int from = curvature > 0 ? 1 : 0;
        int used = 0;
        for (size_t i = 0; i < bands.size(); ++i) {
            if (!active[i]) continue;
            const double t = bands[i].y - mid;
            const double w = 1 / (model[i] * model[i] * model[i] * model[i]);
            const double row[4] = {t * t, t, 1, bands[i].blur * bands[i].blur - curvature * t * t};
            for (int r = from; r < 3; ++r)
                for (int k = from; k < 4; ++k) m[r][k] += w * row[r] * row[k];
            ++used;
        }
        if (used < kMinBands) return fit;
        for (int col = from; col < 3; ++col) {
            if (std::fabs(m[col][col]) < 1e-300) return fit;
            for (int r = from; r < 3; ++r) {
                if (r == col) continue;
                const double f = m[r][col] / m[col][col];
                for (int k = col; k < 4; ++k) m[r][k] -= f * m[col][k];
            }
        }
        a = from ? curvature : m[0][3] / m[0][0], c = m[1][3] / m[1][1], e = m[2][3] / m[2][2];
        if (!(a > 0)) {
            // No V at all: the blur is the same all along the scale.
            std::vector<double> all;
            for (const BandBlur& b : bands) all.push_back(b.blur);
            fit.ok = true;
            fit.floor = medianOf(all);
            fit.used = static_cast<int>(bands.size());
            return fit;
        }
        std::vector<double> spread;
        for (size_t i = 0; i < bands.size(); ++i) {
            const double t = bands[i].y - mid;
            model[i] = std::sqrt(std::max(a * t * t + c * t + e, 0.25));
            residual[i] = (bands[i].blur - model[i]) / model[i];
            if (active[i]) spread.push_back(std::fabs(residual[i]));
        }
        const double sigma = std::max(0.02, 1.4826 * medianOf(spread));
        for (size_t i = 0; i < bands.size(); ++i) active[i] = std::fabs(residual[i]) < kOutlierSigmas * sigma;
        fit.used = used;
    }
    double sq = 0;
    int n = 0;
    for (size_t i = 0; i < bands.size(); ++i)
        if (active[i]) sq += residual[i] * residual[i], ++n;
    fit.ok = n >= kMinBands;
    fit.vertex = mid - c / (2 * a);
    fit.slope = std::sqrt(a);
    fit.floor = std::sqrt(std::max(0.0, e - c * c / (4 * a)));
    fit.residual = n ? std::sqrt(sq / n) : 0;
    fit.used = n;
    return fit;
}

// A V cut short by an end of the scale has its vertex refitted over the
// bands as far on its long side as on its short one (at least this far,
// mm), its slope kept from the whole V: the blur's shape near its floor is
// not quite the model's, and only a balanced window lets that error cancel
// instead of pulling the vertex toward the end.
constexpr double kMinHalfWindow = 12.0;

VFit fitBalanced(const std::vector<BandBlur>& bands) {
    const VFit first = fitV(bands);
    if (!first.ok) return first;
    const double shorter = std::min(first.vertex - bands.front().y, bands.back().y - first.vertex);
    const double half = std::max(shorter, kMinHalfWindow);
    std::vector<BandBlur> window;
    for (const BandBlur& b : bands)
        if (std::fabs(b.y - first.vertex) <= half) window.push_back(b);
    if (window.size() == bands.size()) return first;
    const VFit balanced = fitV(window, first.slope * first.slope);
    return balanced.ok ? balanced : first;
}

constexpr double kNoEnd = 1e9;

// The sharp zone along the chart's axis: where the blur disc, at each
// place's own distance, stays within kSharpBlurPx.
double sharpZone(const Homography& h, double focus, double slope) {
    // Relative growth of distance per mm along the chart, toward its far end.
    const double g = std::fabs(h.h[7] / h.w({0, 0}));
    if (slope <= 0) return kNoEnd;
    const double half = kSharpBlurPx / slope;
    if (half * g >= 1) return kNoEnd;
    const double farEnd = (focus + half) / (1 - half * g);
    const double nearEnd = (focus - half) / (1 + half * g);
    return farEnd - nearEnd;
}

std::string pastEndRefusal(const char* end, const char* side) {
    std::string text;
    appendf(text, "the focus lies past the chart's %s end, more than %.0f mm %s the target", end, kMeasuredHalfLength, side);
    return text;
}

}  // namespace

int farEndSign(const Homography& h) {
    const double top = h.w({0, kScaleHalfLength}), bottom = h.w({0, -kScaleHalfLength});
    if (std::fabs(top - bottom) < kMinScaleChange * std::min(top, bottom)) return 0;
    return top > bottom ? 1 : -1;
}

const char* refusalText(Refusal refusal) {
    // Built once, from the constants they name.
    static const std::string farEnd = pastEndRefusal("far", "beyond");
    static const std::string nearEnd = pastEndRefusal("near", "in front of");
    static const std::string tooLong = [] {
        std::string text;
        appendf(text, "the sharp part covers more than a quarter of the chart's scale; open the aperture or move closer, "
                      "to about %d times the focal length", kCloseFocalLengths);
        return text;
    }();
    switch (refusal) {
    case Refusal::None: return "";
    case Refusal::ChartNotFound: return "the chart was not found; all four corner marks must be in the photo";
    case Refusal::NothingSharp: return "no part of the chart's scale is sharp; the focus lies off the chart or the camera moved";
    case Refusal::PastFarEnd: return farEnd.c_str();
    case Refusal::PastNearEnd: return nearEnd.c_str();
    case Refusal::SharpZoneTooLong: return tooLong.c_str();
    case Refusal::Mirrored: return "the photo is mirrored; use the camera's own file";
    case Refusal::NearEndUnknown: return "the photo does not show which end of the chart is nearer; photograph it at about 45 degrees";
    }
    return "";
}

Measurement measureGrey(const uint8_t* pixels, int width, int height, ptrdiff_t stride) {
    Measurement m{};
    m.refusal = Refusal::ChartNotFound;
    if (pixels == nullptr || width < 16 || height < 16 || stride < width) return m;
    const GreyView image{pixels, width, height, stride};
    ChartPose pose;
    if (!findChart(image, pose)) return m;
    if (pose.mirrored) {
        m.refusal = Refusal::Mirrored;
        return m;
    }
    const int away = farEndSign(pose.toImage);
    if (away == 0) {
        m.refusal = Refusal::NearEndUnknown;
        return m;
    }
    const Point origin = pose.toImage.apply({0, 0});
    const Point unitX = pose.toImage.apply({1, 0});
    m.px_per_mm = std::hypot(unitX.x - origin.x, unitX.y - origin.y);

    m.refusal = Refusal::NothingSharp;
    const VFit left = fitBalanced(measureColumn(image, pose, -1));
    const VFit right = fitBalanced(measureColumn(image, pose, 1));
    if (!left.ok || !right.ok) return m;
    // The sharp plane crosses the chart along a line (tilted when the
    // camera is turned); its crossing with the axis lies between the columns'.
    const double xl = -(kColumnMiddle + kStripeSlant * left.vertex);
    const double xr = kColumnMiddle + kStripeSlant * right.vertex;
    m.focus_mm = away * (left.vertex * xr - right.vertex * xl) / (xr - xl);
    m.sides_disagree_mm = right.vertex - left.vertex;
    m.blur_px_per_mm = (left.slope + right.slope) / 2;
    m.sharpest_blur_px = (left.floor + right.floor) / 2;
    m.fit_residual = (left.residual + right.residual) / 2;
    m.bands = left.used + right.used;
    m.sharp_zone_mm = sharpZone(pose.toImage, m.focus_mm, m.blur_px_per_mm);

    const double beyondEnd = std::fabs(m.focus_mm) - kMeasuredHalfLength;
    if (m.sharpest_blur_px > kMaxFloorPx || beyondEnd * m.blur_px_per_mm > kSharpBlurPx) return m;
    if (m.sharp_zone_mm > kScaleHalfLength / 2) {
        m.refusal = Refusal::SharpZoneTooLong;
    } else if (beyondEnd > 0) {
        m.refusal = m.focus_mm > 0 ? Refusal::PastFarEnd : Refusal::PastNearEnd;
    } else {
        m.refusal = Refusal::None;
    }
    return m;
}

}  // namespace focus
