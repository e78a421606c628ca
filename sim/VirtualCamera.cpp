// The camera model: a pinhole projection through a thin lens, the chart's
// shapes drawn with exact pixel coverage, then blurred by the disc each
// pixel's distance gives, darkened toward the corners, given photon and
// read noise, encoded as sRGB, sharpened and quantised.
#include "VirtualCamera.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "CameraExif.h"
#include "CoverageRaster.h"
#include "PhotoFile.h"

namespace camera {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kPaperReflectance = 0.85;
constexpr double kInkReflectance = 0.04;
constexpr double kTableReflectance = 0.25;
// A patterned table: ink-dark and paper-light squares or bands about the
// marks' size, off the chart's centre; each pixel averages a grid of samples.
constexpr double kTableDark = 0.04;
constexpr double kTableLight = 0.75;
constexpr double kCheckerSquareMm = 20;
constexpr double kTableStripeMm = 12;
constexpr double kTablePhaseMm = 7;
constexpr int kTableSamples = 4;  // per pixel, each way
constexpr double kExposure = 0.94;            // paper at the centre reads 0.8 of full scale
constexpr double kFullWellAtIso100 = 40000;   // electrons at full scale
constexpr double kReadNoise = 3;              // electrons
constexpr int kTile = 512;
constexpr int kSharpenMargin = 1;
constexpr double kRadiusStep = 1.0 / 32;      // disc kernels are cached at this step

struct Vec3 {
    double x, y, z;
};
Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec3 operator*(double s, Vec3 a) { return {s * a.x, s * a.y, s * a.z}; }
double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// A standard normal number for `key`, the same whatever the tiling.
double gaussian(uint64_t seed, uint64_t key) {
    const uint64_t h = mix(seed ^ mix(key));
    const double u1 = ((h >> 11) + 0.5) / 9007199254740992.0;
    const double u2 = (mix(h) >> 11) / 9007199254740992.0;
    return std::sqrt(-2 * std::log(u1)) * std::cos(2 * kPi * u2);
}

// The scene's geometry: camera at the origin looking along +z, image x
// right and y down; the chart's centre on the axis. The table's own axes are
// the chart's before it is turned.
struct Optics {
    Vec3 centre, ex, ey, normal, tableX, tableY;
    double focal, focusDistance, sensorDistance, aperture, pitch;
    double ox, oy;  // where the axis meets the photo, px
    double focusMm;

    explicit Optics(const Scene& s) {
        focal = s.focalMm;
        aperture = s.focalMm / s.fNumber;
        centre = {0, 0, s.distance * s.focalMm};
        const double a = s.angleDeg * kPi / 180;
        ex = {1, 0, 0};
        ey = {0, -std::sin(a), std::cos(a)};
        normal = cross(ex, ey);
        tableX = ex, tableY = ey;
        turn(ex, ey, normal, s.yawDeg);
        roll(s.rollDeg);
        // Focus is placed along the middle line away from the camera, never
        // by the chart's own y, so a turned chart cannot flip the truth.
        focusMm = s.focusMm + s.value * s.mmPerStep + s.scatterMm * gaussian(s.seed, 0xAF);
        focusDistance = centre.z + focusMm * std::fabs(ey.z);
        sensorDistance = focal * focusDistance / (focusDistance - focal);
        // The crop: the paper fills it, its middle at the crop's middle.
        const focus::PageSize page = focus::pageSize(s.paper);
        pitch = 1;
        ox = oy = 0;
        double x0 = 1e300, y0 = 1e300, x1 = -1e300, y1 = -1e300;
        for (int i = 0; i < 4; ++i) {
            const focus::Point p = project({(i & 1 ? 0.5 : -0.5) * page.width_mm, (i & 2 ? 0.5 : -0.5) * page.height_mm});
            x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
        }
        pitch = std::max((x1 - x0) / (s.fill * s.width), (y1 - y0) / (s.fill * s.height));
        ox = s.width / 2.0 - (x0 + x1) / 2 / pitch;
        oy = s.height / 2.0 - (y0 + y1) / 2 / pitch;
    }

    // Turns the chart about its normal (the table's vertical).
    static void turn(Vec3& ex, Vec3& ey, const Vec3& n, double deg) {
        const double c = std::cos(deg * kPi / 180), s = std::sin(deg * kPi / 180);
        const Vec3 x = ex, y = ey;
        ex = c * x + s * cross(n, x);
        ey = c * y + s * cross(n, y);
    }

    void roll(double deg) {
        const double c = std::cos(deg * kPi / 180), s = std::sin(deg * kPi / 180);
        for (Vec3* v : {&ex, &ey, &normal, &tableX, &tableY}) *v = {c * v->x - s * v->y, s * v->x + c * v->y, v->z};
    }

    focus::Point project(focus::Point p) const {
        const Vec3 w = centre + p.x * ex + p.y * ey;
        return {sensorDistance * w.x / w.z / pitch + ox, sensorDistance * w.y / w.z / pitch + oy};
    }

    // Where the ray through photo point (x, y) meets the table, mm along the
    // table's axes from the chart's centre; false above the horizon.
    bool tablePoint(double x, double y, double& u, double& v) const {
        const Vec3 ray{(x - ox) * pitch, (y - oy) * pitch, sensorDistance};
        const double along = dot(normal, ray);
        if (std::fabs(along) < 1e-12 || dot(normal, centre) / along <= 0) return false;
        const Vec3 offset = (dot(normal, centre) / along) * ray + -1.0 * centre;
        u = dot(offset, tableX);
        v = dot(offset, tableY);
        return true;
    }

    // 1 / distance of the chart's plane seen at photo point (x, y).
    double inverseDistance(double x, double y) const {
        const Vec3 ray{(x - ox) * pitch, (y - oy) * pitch, sensorDistance};
        return std::max(dot(normal, ray) / (dot(normal, centre) * sensorDistance), 1e-9);
    }

    // Diameter of the blur disc at photo point (x, y), px.
    double blurPx(double x, double y) const {
        return aperture * focal / ((focusDistance - focal) * pitch) *
               std::fabs(1 - focusDistance * inverseDistance(x, y));
    }

    // Where on the axis the blur reaches `px` pixels: the near and far
    // limits of the depth of field.
    void limits(double px, double& nearMm, double& farMm) const {
        const double k = px * pitch * (focusDistance - focal) / (aperture * focal);
        const double nearZ = focusDistance / (1 + k);
        const double farZ = k < 1 ? focusDistance / (1 - k) : 1e12;
        nearMm = (nearZ - centre.z) / std::fabs(ey.z);
        farMm = (farZ - centre.z) / std::fabs(ey.z);
    }
};

// Disc kernels by radius: per row of the disc its share of the area and
// the half width of the run of pixels that stands for it.
struct DiscRow {
    int dy;
    double area;
    double half;
};
class DiscKernels {
public:
    const std::vector<DiscRow>& forRadius(double r) {
        const int key = static_cast<int>(std::lround(r / kRadiusStep));
        auto it = _cache.find(key);
        if (it != _cache.end()) return it->second;
        return _cache.emplace(key, build(key * kRadiusStep)).first->second;
    }

private:
    static std::vector<DiscRow> build(double r) {
        if (r < 1e-3) return {{0, 1, 0}};
        auto segment = [r](double y) { return y * std::sqrt(std::max(0.0, r * r - y * y)) + r * r * std::asin(y / r); };
        std::vector<DiscRow> rows;
        const int reach = static_cast<int>(std::ceil(r - 0.5));
        double total = 0;
        for (int dy = -reach; dy <= reach; ++dy) {
            const double lo = std::max(dy - 0.5, -r), hi = std::min(dy + 0.5, r);
            if (hi <= lo) continue;
            const double area = segment(hi) - segment(lo);
            rows.push_back({dy, area, area / (2 * (hi - lo))});
            total += area;
        }
        for (DiscRow& row : rows) row.area /= total;
        return rows;
    }
    std::map<int, std::vector<DiscRow>> _cache;
};

// The table's reflectance at table point (u, v) mm.
double tableAt(Table table, double u, double v) {
    const auto band = [](double mm, double width) { return static_cast<long>(std::floor((mm + kTablePhaseMm) / width)); };
    switch (table) {
    case Table::Plain: break;
    case Table::Checker: return (band(u, kCheckerSquareMm) + band(v, kCheckerSquareMm)) % 2 ? kTableDark : kTableLight;
    case Table::Stripes: return band(v, kTableStripeMm) % 2 ? kTableDark : kTableLight;
    }
    return kTableReflectance;
}

// The table's mean reflectance over photo pixel (x, y) .. (x + 1, y + 1).
double tablePixel(const Scene& s, const Optics& o, int x, int y) {
    if (s.table == Table::Plain) return kTableReflectance;
    double sum = 0;
    for (int j = 0; j < kTableSamples; ++j)
        for (int i = 0; i < kTableSamples; ++i) {
            double u = 0, v = 0;
            const bool onTable = o.tablePoint(x + (i + 0.5) / kTableSamples, y + (j + 0.5) / kTableSamples, u, v);
            sum += onTable ? tableAt(s.table, u, v) : kTableReflectance;
        }
    return sum / (kTableSamples * kTableSamples);
}

double srgb(double linear) {
    const double v = std::clamp(linear, 0.0, 1.0);
    return 255 * (v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055);
}

// One tile of the photo: [x0, x1) x [y0, y1), written into `out`.
void renderTile(const Scene& s, const Optics& o, DiscKernels& kernels, int x0, int y0, int x1, int y1,
                std::vector<uint8_t>& out) {
    // The tile grows by the sharpening's reach, that by the largest disc's.
    const int ix0 = x0 - kSharpenMargin, iy0 = y0 - kSharpenMargin;
    const int iw = x1 - x0 + 2 * kSharpenMargin, ih = y1 - y0 + 2 * kSharpenMargin;
    double maxBlur = 0;
    for (int c = 0; c < 4; ++c) maxBlur = std::max(maxBlur, o.blurPx(c & 1 ? ix0 + iw : ix0, c & 2 ? iy0 + ih : iy0));
    const int margin = static_cast<int>(std::ceil(maxBlur / 2)) + 2;
    const int rx0 = ix0 - margin, ry0 = iy0 - margin, rw = iw + 2 * margin, rh = ih + 2 * margin;

    focus::CoverageRaster paper(rw, rh), ink(rw, rh);
    const focus::PageSize page = focus::pageSize(s.paper);
    auto add = [&](focus::CoverageRaster& raster, const focus::Point* p, int n) {
        focus::Point q[4];
        for (int i = 0; i < n; ++i) {
            const focus::Point r = o.project(p[i]);
            q[i] = {r.x - rx0, r.y - ry0};
        }
        raster.addPolygon(q, n);
    };
    const double pw = page.width_mm / 2, ph = page.height_mm / 2;
    const focus::Point sheet[4] = {{-pw, -ph}, {pw, -ph}, {pw, ph}, {-pw, ph}};
    add(paper, sheet, 4);
    for (const focus::Shape& shape : focus::chartInk()) add(ink, shape.p, shape.corners);
    std::vector<float> paperCover, inkCover;
    paper.resolve(paperCover);
    ink.resolve(inkCover);

    // Reflectance, and its running sums along each row (pixel i spans [i, i + 1)).
    std::vector<double> sums(static_cast<size_t>(rw + 1) * rh);
    for (int y = 0; y < rh; ++y) {
        double* row = &sums[static_cast<size_t>(y) * (rw + 1)];
        row[0] = 0;
        for (int x = 0; x < rw; ++x) {
            const size_t i = static_cast<size_t>(y) * rw + x;
            const double table = paperCover[i] < 1 ? tablePixel(s, o, rx0 + x, ry0 + y) : kTableReflectance;
            const double r = table + paperCover[i] * (kPaperReflectance - table) -
                             inkCover[i] * (kPaperReflectance - kInkReflectance);
            row[x + 1] = row[x] + r;
        }
    }
    auto runMean = [&](int y, double cx, double half) {
        const double* row = &sums[static_cast<size_t>(y) * (rw + 1)];
        auto at = [&](double u) {
            u = std::clamp(u, 0.0, double(rw));
            const int i = std::min(static_cast<int>(u), rw - 1);
            return row[i] + (u - i) * (row[i + 1] - row[i]);
        };
        if (half < 1e-6) {
            const int i = std::clamp(static_cast<int>(cx), 0, rw - 1);
            return row[i + 1] - row[i];
        }
        return (at(cx + half) - at(cx - half)) / (2 * half);
    };

    const double fullWell = kFullWellAtIso100 * 100.0 / s.iso;
    const double cornerSq = (s.width * s.width + s.height * s.height) / 4.0;
    std::vector<double> encoded(static_cast<size_t>(iw) * ih);
    for (int y = 0; y < ih; ++y) {
        for (int x = 0; x < iw; ++x) {
            const double px = ix0 + x + 0.5, py = iy0 + y + 0.5;
            const double cx = px - rx0;
            const int cy = iy0 + y - ry0;
            double value = 0;
            for (const DiscRow& row : kernels.forRadius(o.blurPx(px, py) / 2))
                value += row.area * runMean(cy + row.dy, cx, row.half);
            const double dx = px - s.width / 2.0, dy = py - s.height / 2.0;
            double light = value * kExposure * (1 - s.vignetting * (dx * dx + dy * dy) / cornerSq);
            const double sigma = std::sqrt(std::max(light, 0.0) / fullWell + (kReadNoise / fullWell) * (kReadNoise / fullWell));
            const int64_t gx = ix0 + x, gy = iy0 + y;
            light += sigma * gaussian(s.seed, static_cast<uint64_t>(gy) * 0x100000000ull + static_cast<uint64_t>(gx));
            encoded[static_cast<size_t>(y) * iw + x] = srgb(light);
        }
    }
    // Unsharp mask over the encoded values, as cameras sharpen.
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const int lx = x - ix0, ly = y - iy0;
            auto e = [&](int ax, int ay) { return encoded[static_cast<size_t>(ly + ay) * iw + lx + ax]; };
            double smooth = 0;
            for (int ay = -1; ay <= 1; ++ay)
                for (int ax = -1; ax <= 1; ++ax) smooth += e(ax, ay) * (ax ? 1 : 2) * (ay ? 1 : 2) / 16.0;
            const double v = e(0, 0) + s.sharpen * (e(0, 0) - smooth);
            out[static_cast<size_t>(y) * s.width + x] = static_cast<uint8_t>(std::clamp(std::lround(v), 0l, 255l));
        }
    }
}

bool within(double v, double lo, double hi) { return v >= lo && v <= hi; }

}  // namespace

bool validScene(const Scene& s, std::string& error) {
    struct Range {
        const char* name;
        double value, lo, hi;
    };
    const Range ranges[] = {
        {"--angle", s.angleDeg, 20, 70},       {"--distance", s.distance, 5, 200},
        {"--focal", s.focalMm, 10, 1200},      {"--aperture", s.fNumber, 0.7, 32},
        {"--iso", double(s.iso), 50, 25600},   {"--sharpen", s.sharpen, 0, 5},
        {"--quality", double(s.quality), 0, 100}, {"--roll", s.rollDeg, -180, 180},
        {"--yaw", s.yawDeg, -180, 180},          {"--vignetting", s.vignetting, 0, 0.9},
        {"--scatter", s.scatterMm, 0, 100},    {"--width", double(s.width), 64, 20000},
        {"--height", double(s.height), 64, 20000}, {"--fill", s.fill, 0.1, 1},
        {"--focal-35", s.focal35Mm, 0, 5000},
    };
    for (const Range& r : ranges) {
        if (!within(r.value, r.lo, r.hi)) {
            char buf[160];
            std::snprintf(buf, sizeof buf, "%s must lie between %g and %g", r.name, r.lo, r.hi);
            error = buf;
            return false;
        }
    }
    const Optics o(s);
    if (!(o.focusDistance > 2 * o.focal)) {
        error = "the focus lies too close to the lens";
        return false;
    }
    return true;
}

Truth truth(const Scene& s) {
    const Optics o(s);
    Truth t{};
    t.focusMm = o.focusMm;
    o.limits(focus::kSharpBlurPx, t.nearMm, t.farMm);
    t.depthOfFieldMm = t.farMm - t.nearMm;
    const focus::Point a = o.project({0, 0}), b = o.project({1, 0});
    t.pxPerMm = std::hypot(b.x - a.x, b.y - a.y);
    return t;
}

std::vector<uint8_t> photograph(const Scene& s) {
    const Optics o(s);
    DiscKernels kernels;
    std::vector<uint8_t> out(static_cast<size_t>(s.width) * s.height);
    for (int y = 0; y < s.height; y += kTile)
        for (int x = 0; x < s.width; x += kTile)
            renderTile(s, o, kernels, x, y, std::min(x + kTile, s.width), std::min(y + kTile, s.height), out);
    return out;
}

std::string photographFile(const Scene& s) {
    const std::vector<uint8_t> grey = photograph(s);
    const std::string file = focus::encodeGrey(grey.data(), s.width, s.height, s.quality);
    if (s.quality == 0 || !s.exif) return file;
    return withSegment(file, exifSegment({s.make, s.model, s.focalMm, s.focal35Mm, s.fNumber}));
}

}  // namespace camera
