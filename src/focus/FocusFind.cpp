// Finding the chart: its four corner marks are compact dark blobs on white
// paper, one of them holed. They are looked for in a reduced copy of the
// photo; of the blobs that could be marks, the four whose layout, paper and
// stripes between them fit the chart (or its mirror image) are chosen, and
// their centres are then taken at full resolution from the darkness around
// each.
#include <algorithm>
#include <cmath>
#include <vector>

#include "FocusInternal.h"

namespace focus {
namespace {

// The reduced copy has about this many pixels, whatever the photo's size.
constexpr double kFinderPixels = 1.0e6;
// Dark: below this share of the surroundings' mean; the surroundings are a
// square this share of the copy's smaller side across.
constexpr int kDarkPercent = 70;
constexpr int kSurroundDivisor = 5;
constexpr int kMinBlobPixels = 12;
constexpr double kPi = 3.14159265358979323846;
// A mark's blob has white paper all round at this many standard deviations
// of its spread (a square's corners lie at 2.45), bar a few samples.
constexpr double kRingSigmas = 3.0;
constexpr int kRingSamples = 16;
constexpr int kMaxRingDark = 2;
// Holed marks tried, and for each the candidates tried with it: alike in
// area within kMaxSizeSpread, at kMinSpacing .. kMaxSpacing of its own
// side (the marks lie 10 to 17 sides apart, less when foreshortened).
constexpr size_t kMaxHoled = 4;
constexpr size_t kMaxPartners = 20;
constexpr double kMaxSizeSpread = 5.0;
constexpr double kMinSpacing = 3.0;
constexpr double kMaxSpacing = 40.0;
// The scale's stripes are read every kStripeRowStep mm of it; a stripe
// differs from its neighbour when by more than kStripeMargin grey levels.
// A fit must find them plainly, as neither a wrong quadruple nor the
// chart's mirror image fitted to a true one does.
constexpr double kStripeRowStep = 8.0;
constexpr int kStripeMargin = 8;
constexpr double kMinStripeAgreement = 0.5;
// A square seen at up to 60 degrees, blurred: shape limits of a mark's blob.
constexpr double kMaxElongation = 8.0;
constexpr double kMinFill = 0.25;  // a thin ring: the holed mark, blurred and thresholded
constexpr double kMaxFill = 1.3;
constexpr double kMinAreaRatio = 0.35;
constexpr double kMaxAreaRatio = 2.8;
// White paper is checked this far from each mark's centre, mm.
constexpr double kQuietDistance = 13.5;
constexpr int kMaxQuietMisses = 3;
// The full-resolution window around a mark, and its border of white, mm.
constexpr double kWindowHalf = 14.0;
constexpr double kBorderFrom = 12.0;
constexpr double kInkCoreHalf = 4.0;
constexpr int kRefinePasses = 3;

const Point kMarkCentres[4] = {{-kMarkX, kMarkY}, {kMarkX, kMarkY}, {kMarkX, -kMarkY}, {-kMarkX, -kMarkY}};
constexpr int kHoledMark = 0;  // top-left

struct Blob {
    double n = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    bool touchesBorder = false;
    bool holed = false;
    double quiet = 0;  // see quietness()
    Point centre() const { return {sx / n, sy / n}; }
};

struct Reduced {
    int width = 0;
    int height = 0;
    int factor = 1;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> dark;
};

void reduce(const GreyView& image, Reduced& r) {
    r.factor = std::max(1, static_cast<int>(std::ceil(std::sqrt(image.width * double(image.height) / kFinderPixels))));
    r.width = image.width / r.factor;
    r.height = image.height / r.factor;
    r.pixels.assign(static_cast<size_t>(r.width) * r.height, 0);
    const int f = r.factor;
    std::vector<uint32_t> sums(static_cast<size_t>(r.width));
    for (int y = 0; y < r.height; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (int dy = 0; dy < f; ++dy) {
            const uint8_t* row = image.pixels + static_cast<ptrdiff_t>(y * f + dy) * image.stride;
            for (int x = 0; x < r.width; ++x) {
                const uint8_t* p = row + x * f;
                uint32_t s = 0;
                for (int dx = 0; dx < f; ++dx) s += p[dx];
                sums[x] += s;
            }
        }
        const uint32_t area = static_cast<uint32_t>(f * f);
        for (int x = 0; x < r.width; ++x) r.pixels[static_cast<size_t>(y) * r.width + x] = uint8_t(sums[x] / area);
    }
}

// Dark against the mean of the surroundings (an integral image), so that
// uneven light and vignetting do not matter.
void markDark(Reduced& r) {
    const int w = r.width, h = r.height;
    std::vector<uint32_t> integral(static_cast<size_t>(w + 1) * (h + 1), 0);
    for (int y = 0; y < h; ++y) {
        uint32_t rowSum = 0;
        for (int x = 0; x < w; ++x) {
            rowSum += r.pixels[static_cast<size_t>(y) * w + x];
            integral[static_cast<size_t>(y + 1) * (w + 1) + x + 1] = integral[static_cast<size_t>(y) * (w + 1) + x + 1] + rowSum;
        }
    }
    const int radius = std::max(4, std::min(w, h) / (2 * kSurroundDivisor));
    r.dark.assign(static_cast<size_t>(w) * h, 0);
    for (int y = 0; y < h; ++y) {
        const int y0 = std::max(0, y - radius), y1 = std::min(h, y + radius + 1);
        for (int x = 0; x < w; ++x) {
            const int x0 = std::max(0, x - radius), x1 = std::min(w, x + radius + 1);
            const uint64_t sum = uint64_t(integral[size_t(y1) * (w + 1) + x1]) - integral[size_t(y0) * (w + 1) + x1] -
                                 integral[size_t(y1) * (w + 1) + x0] + integral[size_t(y0) * (w + 1) + x0];
            const uint64_t count = uint64_t(y1 - y0) * (x1 - x0);
            r.dark[size_t(y) * w + x] = uint64_t(r.pixels[size_t(y) * w + x]) * 100 * count < sum * kDarkPercent;
        }
    }
}

std::vector<Blob> findBlobs(const Reduced& r) {
    const int w = r.width, h = r.height;
    std::vector<int> label(static_cast<size_t>(w) * h, -1);
    std::vector<Blob> blobs;
    std::vector<int> stack;
    for (int start = 0; start < w * h; ++start) {
        if (!r.dark[start] || label[start] >= 0) continue;
        const int id = static_cast<int>(blobs.size());
        Blob b;
        label[start] = id;
        stack.push_back(start);
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            const int x = i % w, y = i / w;
            const double cx = x + 0.5, cy = y + 0.5;
            b.n += 1;
            b.sx += cx;
            b.sy += cy;
            b.sxx += cx * cx;
            b.syy += cy * cy;
            b.sxy += cx * cy;
            if (x == 0 || y == 0 || x == w - 1 || y == h - 1) b.touchesBorder = true;
            const int next[4] = {x > 0 ? i - 1 : -1, x < w - 1 ? i + 1 : -1, y > 0 ? i - w : -1, y < h - 1 ? i + w : -1};
            for (int j : next) {
                if (j >= 0 && r.dark[j] && label[j] < 0) {
                    label[j] = id;
                    stack.push_back(j);
                }
            }
        }
        blobs.push_back(b);
    }
    // A holed mark's centre is not its own: the hole is white.
    for (size_t id = 0; id < blobs.size(); ++id) {
        const Point c = blobs[id].centre();
        const int x = std::clamp(static_cast<int>(c.x), 0, w - 1), y = std::clamp(static_cast<int>(c.y), 0, h - 1);
        blobs[id].holed = label[static_cast<size_t>(y) * w + x] != static_cast<int>(id);
    }
    return blobs;
}

// The blob's centre and the lower-triangular root of its covariance: the
// unit circle through it is the blob's ellipse of one standard deviation.
// False for a blob with no area.
bool blobEllipse(const Blob& b, Point& c, double root[3]) {
    c = b.centre();
    const double vxx = b.sxx / b.n - c.x * c.x, vyy = b.syy / b.n - c.y * c.y, vxy = b.sxy / b.n - c.x * c.y;
    if (vxx <= 0 || vxx * vyy - vxy * vxy <= 0) return false;
    root[0] = std::sqrt(vxx);
    root[1] = vxy / root[0];
    root[2] = std::sqrt(vyy - root[1] * root[1]);
    return true;
}

bool isDark(const Reduced& r, Point p) {
    if (!(p.x >= 0 && p.y >= 0 && p.x < r.width && p.y < r.height)) return true;  // off the photo
    return r.dark[static_cast<size_t>(p.y) * r.width + static_cast<size_t>(p.x)] != 0;
}

// How plainly white paper lies all round the blob, a little beyond its
// corners: the ring's darkest sample, bar kMaxRingDark of them, as a share
// of the way from the blob's middle to the ring's brightest. Near 1 for a
// mark; well below for a square of a checkerboard, which has dark squares
// at its corners. Negative when the ring is dark or off the photo.
double quietness(const Reduced& r, const Blob& b) {
    Point c;
    double root[3];
    if (!blobEllipse(b, c, root)) return -1;
    const auto at = [&](Point p) {
        const bool on = p.x >= 0 && p.y >= 0 && p.x < r.width && p.y < r.height;  // off the photo reads as ink
        return on ? r.pixels[static_cast<size_t>(p.y) * r.width + static_cast<size_t>(p.x)] : 0;
    };
    int values[kRingSamples];
    int dark = 0;
    for (int k = 0; k < kRingSamples; ++k) {
        const double u = kRingSigmas * std::cos(2 * kPi * k / kRingSamples);
        const double v = kRingSigmas * std::sin(2 * kPi * k / kRingSamples);
        const Point p{c.x + root[0] * u, c.y + root[1] * u + root[2] * v};
        if (isDark(r, p) && ++dark > kMaxRingDark) return -1;
        values[k] = at(p);
        for (int j = k; j > 0 && values[j] < values[j - 1]; --j) std::swap(values[j], values[j - 1]);
    }
    // The ink: at the middle, or a deviation out where a holed mark has it.
    const int middle = std::min(at(c), at({c.x + root[0], c.y + root[1]}));
    const int brightest = values[kRingSamples - 1];
    return brightest > middle ? static_cast<double>(values[kMaxRingDark] - middle) / (brightest - middle) : -1;
}

// Blobs shaped as a mark can be, on their own on the paper, largest first.
std::vector<Blob> markCandidates(const Reduced& r, const std::vector<Blob>& blobs) {
    std::vector<Blob> out;
    for (Blob b : blobs) {
        if (b.n < kMinBlobPixels || b.touchesBorder) continue;
        Point c;
        double root[3];
        if (!blobEllipse(b, c, root)) continue;
        const double det = root[0] * root[0] * root[2] * root[2];
        const double vxx = root[0] * root[0], vyy = root[1] * root[1] + root[2] * root[2];
        const double half = (vxx + vyy) / 2, spread = std::sqrt(std::max(0.0, half * half - det));
        if ((half + spread) / std::max(half - spread, 1e-9) > kMaxElongation) continue;
        const double fill = b.n / (12.0 * std::sqrt(det));  // 1 for a filled parallelogram
        if (fill < kMinFill || fill > kMaxFill) continue;
        b.quiet = quietness(r, b);
        if (b.quiet < 0) continue;
        size_t at = out.size();
        while (at > 0 && out[at - 1].n < b.n) --at;
        out.insert(out.begin() + static_cast<ptrdiff_t>(at), b);
    }
    return out;
}

double polygonArea(const Point* p, int n) {
    double a = 0;
    for (int i = 0; i < n; ++i) a += p[i].x * p[(i + 1) % n].y - p[(i + 1) % n].x * p[i].y;
    return a / 2;
}

// The square of `size` around `centre`, corners through `h`.
void projectSquare(const Homography& h, Point centre, double size, Point out[4]) {
    const double s = size / 2;
    const Point corners[4] = {{-s, -s}, {s, -s}, {s, s}, {-s, s}};
    for (int i = 0; i < 4; ++i) out[i] = h.apply({centre.x + corners[i].x, centre.y + corners[i].y});
}

double markArea(const Homography& h, int mark) {
    Point q[4];
    projectSquare(h, kMarkCentres[mark], kMarkSize, q);
    double area = std::fabs(polygonArea(q, 4));
    if (mark == kHoledMark) {
        projectSquare(h, kMarkCentres[mark], kMarkHoleSize, q);
        area -= std::fabs(polygonArea(q, 4));
    }
    return area;
}

// How badly four blobs, in chart order from the top-left, fit the chart;
// negative when they cannot be its marks.
double misfit(const Reduced& r, const Blob* const marks[4], Homography& h) {
    Point at[4];
    for (int i = 0; i < 4; ++i) at[i] = marks[i]->centre();
    if (!homographyFrom(kMarkCentres, at, h)) return -1;
    double score = 0;
    int misses = 0;
    for (int i = 0; i < 4; ++i) {
        const double expected = markArea(h, i);
        if (h.w(kMarkCentres[i]) <= 0 || expected <= 0) return -1;
        const double ratio = marks[i]->n / expected;
        if (ratio < kMinAreaRatio || ratio > kMaxAreaRatio) return -1;
        score += std::fabs(std::log(ratio));
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy)
                if (dx || dy)
                    misses += isDark(r, h.apply({kMarkCentres[i].x + dx * kQuietDistance,
                                                 kMarkCentres[i].y + dy * kQuietDistance}));
    }
    if (misses > kMaxQuietMisses) return -1;
    return score + 0.5 * misses;
}

// Orders four blobs, the holed one first, as the chart's corners from its
// top-left: around their middle in the photo's own turning sense, or in the
// other sense for the chart's mirror image. False unless they make a convex
// quadrilateral, as any view of a rectangle does.
bool chartOrder(const Blob* const four[4], bool mirrored, const Blob* out[4]) {
    double mx = 0, my = 0;
    for (int i = 0; i < 4; ++i) {
        mx += four[i]->centre().x / 4;
        my += four[i]->centre().y / 4;
    }
    double angle[4];
    int order[4] = {0, 1, 2, 3};
    for (int i = 0; i < 4; ++i) angle[i] = std::atan2(four[i]->centre().y - my, four[i]->centre().x - mx);
    for (int i = 1; i < 4; ++i)
        for (int j = i; j > 0 && angle[order[j]] < angle[order[j - 1]]; --j) std::swap(order[j], order[j - 1]);
    const int first = static_cast<int>(std::find(order, order + 4, 0) - order);
    for (int i = 0; i < 4; ++i) out[i] = four[order[(first + (mirrored ? 4 - i : i)) % 4]];
    double sign = 0;
    for (int i = 0; i < 4; ++i) {
        const Point a = out[i]->centre(), b = out[(i + 1) % 4]->centre(), c = out[(i + 2) % 4]->centre();
        const double cross = (b.x - a.x) * (c.y - b.y) - (b.y - a.y) * (c.x - b.x);
        if (sign * cross < 0 || cross == 0) return false;
        sign = cross;
    }
    return true;
}

// How plainly the scale's stripes lie where `h` (on the reduced copy) puts
// them, read at full resolution: the share of neighbouring stripes whose
// black one reads darker than its white one, less the share reading
// lighter, -1 .. 1. Stripes washed out by blur leave pairs undecided.
double stripeAgreement(const GreyView& image, int factor, const Homography& h) {
    int agree = 0, pairs = 0;
    for (double y = -kMeasuredHalfLength; y <= kMeasuredHalfLength; y += kStripeRowStep) {
        for (int side = -1; side <= 1; side += 2) {
            int previous = -1;
            for (int i = 0; i < kStripesPerColumn; ++i) {
                const Point p = h.apply({side * (kColumnInnerX + (i + 0.5) * kStripeWidth + kStripeSlant * y), y});
                const double x = p.x * factor, yy = p.y * factor;
                if (!(x >= 0 && yy >= 0 && x < image.width && yy < image.height)) {
                    previous = -1;
                    continue;
                }
                const int v = image.at(static_cast<int>(x), static_cast<int>(yy));
                if (previous >= 0) {
                    const int blackOverWhite = i % 2 ? v - previous : previous - v;
                    ++pairs;
                    agree += blackOverWhite > kStripeMargin ? 1 : blackOverWhite < -kStripeMargin ? -1 : 0;
                }
                previous = v;
            }
        }
    }
    return pairs ? static_cast<double>(agree) / pairs : -1;
}

struct MarkFit {
    Homography h;
    double score = -1;  // smaller fits better; negative for none
    bool mirrored = false;
};

// Fits the chart, and its mirror image, to four blobs, the holed one
// first; keeps the better fit in `best`.
void fitFour(const GreyView& image, const Reduced& r, const Blob* const four[4], MarkFit& best) {
    for (bool mirrored : {false, true}) {
        const Blob* ordered[4];
        Homography h;
        if (!chartOrder(four, mirrored, ordered)) return;
        double score = misfit(r, ordered, h);
        if (score < 0) continue;
        const double stripes = stripeAgreement(image, r.factor, h);
        if (stripes < kMinStripeAgreement) continue;
        score += 1 - stripes;
        if (best.score < 0 || score < best.score) best = {h, score, mirrored};
    }
}

// The unholed candidates that could share a chart with `holed`: alike in
// size, as far from it as the chart's marks lie; the quietest first.
std::vector<const Blob*> partnersOf(const Blob& holed, const std::vector<Blob>& candidates) {
    std::vector<const Blob*> out;
    const Point c = holed.centre();
    const double side = std::sqrt(holed.n);
    for (const Blob& b : candidates) {
        const double size = b.n / holed.n;
        const double spacing = std::hypot(b.centre().x - c.x, b.centre().y - c.y) / side;
        if (!b.holed && size * kMaxSizeSpread >= 1 && size <= kMaxSizeSpread && spacing >= kMinSpacing &&
            spacing <= kMaxSpacing) {
            size_t at = out.size();
            while (at > 0 && out[at - 1]->quiet < b.quiet) --at;
            if (at < kMaxPartners) out.insert(out.begin() + static_cast<ptrdiff_t>(at), &b);
            if (out.size() > kMaxPartners) out.pop_back();
        }
    }
    return out;
}

// The four candidates, exactly one of them holed, that fit the chart best.
// The holed mark anchors the search, which keeps it small however many
// dark squares a patterned table adds.
bool chooseMarks(const GreyView& image, const Reduced& r, const std::vector<Blob>& candidates, MarkFit& best) {
    size_t holedTried = 0;
    for (const Blob& holed : candidates) {
        if (!holed.holed) continue;
        if (holedTried++ == kMaxHoled) break;
        const std::vector<const Blob*> p = partnersOf(holed, candidates);
        for (size_t a = 0; a < p.size(); ++a)
            for (size_t b = a + 1; b < p.size(); ++b)
                for (size_t d = b + 1; d < p.size(); ++d) {
                    const Blob* four[4] = {&holed, p[a], p[b], p[d]};
                    fitFour(image, r, four, best);
                }
    }
    return best.score >= 0;
}

Point polygonCentroid(const Point* p, int n, double& area) {
    double a = 0, cx = 0, cy = 0;
    for (int i = 0; i < n; ++i) {
        const Point& u = p[i];
        const Point& v = p[(i + 1) % n];
        const double cross = u.x * v.y - v.x * u.y;
        a += cross;
        cx += (u.x + v.x) * cross;
        cy += (u.y + v.y) * cross;
    }
    area = a / 2;
    return {cx / (3 * a), cy / (3 * a)};
}

// Where the darkness of mark `mark` is centred in the photo, as `h` projects it.
Point projectedMarkCentroid(const Homography& h, int mark) {
    Point q[4];
    double outer, hole;
    projectSquare(h, kMarkCentres[mark], kMarkSize, q);
    const Point c = polygonCentroid(q, 4, outer);
    if (mark != kHoledMark) return c;
    projectSquare(h, kMarkCentres[mark], kMarkHoleSize, q);
    const Point ch = polygonCentroid(q, 4, hole);
    return {(c.x * outer - ch.x * hole) / (outer - hole), (c.y * outer - ch.y * hole) / (outer - hole)};
}

struct MarkLight {
    Point centroid;
    double white;
    double ink;
    bool ok;
};

// The darkness centroid of one mark at full resolution, against the white
// of the window's border; blur of any size keeps that centroid in place.
MarkLight measureMark(const GreyView& image, const Homography& toImage, const Homography& toChart, int mark) {
    MarkLight m{{0, 0}, 0, 0, false};
    const Point c = kMarkCentres[mark];
    double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
    for (int i = 0; i < 4; ++i) {
        const Point p = toImage.apply({c.x + (i & 1 ? kWindowHalf : -kWindowHalf), c.y + (i & 2 ? kWindowHalf : -kWindowHalf)});
        x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    }
    const int ix0 = std::max(0, static_cast<int>(x0)), ix1 = std::min(image.width, static_cast<int>(x1) + 1);
    const int iy0 = std::max(0, static_cast<int>(y0)), iy1 = std::min(image.height, static_cast<int>(y1) + 1);
    if (ix0 >= ix1 || iy0 >= iy1) return m;
    const float* lin = linearLight();
    std::vector<double> border;
    double inkSum = 0;
    size_t inkCount = 0;
    for (int pass = 0; pass < 2; ++pass) {
        double sum = 0, sx = 0, sy = 0;
        for (int y = iy0; y < iy1; ++y)
            for (int x = ix0; x < ix1; ++x) {
                const Point q = toChart.apply({x + 0.5, y + 0.5});
                const double d = std::max(std::fabs(q.x - c.x), std::fabs(q.y - c.y));
                if (d > kWindowHalf) continue;
                const float v = lin[image.at(x, y)];
                if (pass == 0) {
                    if (d >= kBorderFrom) border.push_back(v);
                    if (d < kInkCoreHalf && mark != kHoledMark) inkSum += v, ++inkCount;
                    continue;
                }
                const double dark = std::max(0.0, m.white - v);
                sum += dark;
                sx += dark * (x + 0.5);
                sy += dark * (y + 0.5);
            }
        if (pass == 0) {
            if (border.empty()) return m;
            m.white = medianOf(border);
            m.ink = inkCount ? inkSum / inkCount : 0;
        } else if (sum > 0) {
            m.centroid = {sx / sum, sy / sum};
            m.ok = true;
        }
    }
    return m;
}

bool refine(const GreyView& image, int factor, Homography reduced, ChartPose& pose) {
    // The reduced copy's pixel (i, j) spans the photo's [i f, (i + 1) f).
    Homography h = reduced;
    for (int i = 0; i < 6; ++i) h.h[i] *= factor;
    MarkLight marks[4];
    Homography toChart;
    if (!h.inverse(toChart)) return false;
    pose.white = 0;
    pose.ink = 0;
    for (int i = 0; i < 4; ++i) {
        marks[i] = measureMark(image, h, toChart, i);
        if (!marks[i].ok) return false;
        pose.white += marks[i].white / 4;
        if (i != kHoledMark) pose.ink += marks[i].ink / 3;
    }
    // Perspective moves a square's centroid off its centre's image: find
    // the pose whose projected marks have the centroids measured.
    Point at[4];
    for (int pass = 0; pass < kRefinePasses; ++pass) {
        for (int i = 0; i < 4; ++i) {
            const Point projected = h.apply(kMarkCentres[i]);
            const Point centroid = projectedMarkCentroid(h, i);
            at[i] = {marks[i].centroid.x - (centroid.x - projected.x), marks[i].centroid.y - (centroid.y - projected.y)};
        }
        if (!homographyFrom(kMarkCentres, at, h)) return false;
    }
    pose.toImage = h;
    return pose.white > pose.ink;
}

// x^2.4 for x in (0.04, 1]: x^2 times the square of its fifth root, found
// by Newton's method; std::pow would bring its tables into the page's module.
double power2point4(double x) {
    double root = 1;
    for (int i = 0; i < 8; ++i) root -= (root * root * root * root * root - x) / (5 * root * root * root * root);
    return x * x * root * root;
}

}  // namespace

const float* linearLight() {
    static const std::vector<float> table = [] {
        std::vector<float> t(256);
        for (int i = 0; i < 256; ++i) {
            const double v = i / 255.0;
            t[i] = static_cast<float>(v <= 0.04045 ? v / 12.92 : power2point4((v + 0.055) / 1.055));
        }
        return t;
    }();
    return table.data();
}

Point Homography::apply(Point p) const {
    const double d = w(p);
    return {(h[0] * p.x + h[1] * p.y + h[2]) / d, (h[3] * p.x + h[4] * p.y + h[5]) / d};
}

bool Homography::inverse(Homography& out) const {
    const double* m = h;
    const double c0 = m[4] * m[8] - m[5] * m[7], c1 = m[5] * m[6] - m[3] * m[8], c2 = m[3] * m[7] - m[4] * m[6];
    const double det = m[0] * c0 + m[1] * c1 + m[2] * c2;
    if (std::fabs(det) < 1e-300) return false;
    const double adj[9] = {c0, m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
                           c1, m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
                           c2, m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
    for (int i = 0; i < 9; ++i) out.h[i] = adj[i] / det;
    return true;
}

bool homographyFrom(const Point from[4], const Point to[4], Homography& out) {
    // Eight equations in h0 .. h7 with h8 = 1, by elimination with pivoting.
    double a[8][9];
    for (int k = 0; k < 4; ++k) {
        const double x = from[k].x, y = from[k].y, u = to[k].x, v = to[k].y;
        const double r0[9] = {x, y, 1, 0, 0, 0, -u * x, -u * y, u};
        const double r1[9] = {0, 0, 0, x, y, 1, -v * x, -v * y, v};
        std::copy(r0, r0 + 9, a[2 * k]);
        std::copy(r1, r1 + 9, a[2 * k + 1]);
    }
    for (int col = 0; col < 8; ++col) {
        int pivot = col;
        for (int r = col + 1; r < 8; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        if (std::fabs(a[pivot][col]) < 1e-12) return false;
        std::swap(a[pivot], a[col]);
        for (int r = 0; r < 8; ++r) {
            if (r == col) continue;
            const double f = a[r][col] / a[col][col];
            for (int c = col; c < 9; ++c) a[r][c] -= f * a[col][c];
        }
    }
    for (int i = 0; i < 8; ++i) out.h[i] = a[i][8] / a[i][i];
    out.h[8] = 1;
    // Keep w positive on the chart, as a distance is.
    if (out.w({0, 0}) < 0)
        for (double& v : out.h) v = -v;
    return true;
}

bool findChart(const GreyView& image, ChartPose& pose) {
    Reduced r;
    reduce(image, r);
    if (r.width < 16 || r.height < 16) return false;
    markDark(r);
    const std::vector<Blob> candidates = markCandidates(r, findBlobs(r));
    MarkFit fit;
    if (!chooseMarks(image, r, candidates, fit)) return false;
    pose.mirrored = fit.mirrored;
    return refine(image, r.factor, fit.h, pose);
}

}  // namespace focus
