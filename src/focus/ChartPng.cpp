// The chart as a grey PNG at a chosen resolution, drawn strip by strip
// with exact pixel coverage.
#include <algorithm>
#include <cmath>
#include <vector>

#include "ChartPng.h"
#include "CoverageRaster.h"
#include "PhotoFile.h"

namespace focus {
namespace {
constexpr int kStripRows = 256;
constexpr double kMmPerInch = 25.4;
}  // namespace

std::string chartPng(Paper paper, int dpi) {
    const PageSize page = pageSize(paper);
    const double scale = dpi / kMmPerInch;
    const int width = static_cast<int>(std::lround(page.width_mm * scale));
    const int height = static_cast<int>(std::lround(page.height_mm * scale));
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height);
    std::vector<float> coverage;
    for (int top = 0; top < height; top += kStripRows) {
        const int rows = std::min(kStripRows, height - top);
        CoverageRaster raster(width, rows);
        for (const Shape& s : chartInk()) {
            Point corners[4];
            for (int i = 0; i < s.corners; ++i)
                corners[i] = {(s.p[i].x + page.width_mm / 2) * scale, (page.height_mm / 2 - s.p[i].y) * scale - top};
            raster.addPolygon(corners, s.corners);
        }
        raster.resolve(coverage);
        uint8_t* out = &pixels[static_cast<size_t>(top) * width];
        for (size_t i = 0; i < coverage.size(); ++i) out[i] = static_cast<uint8_t>(std::lround(255 * (1 - coverage[i])));
    }
    return encodeGrey(pixels.data(), width, height, 0, dpi);
}

}  // namespace focus
