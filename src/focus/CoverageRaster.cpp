#include "CoverageRaster.h"

#include <algorithm>
#include <cmath>

namespace focus {

CoverageRaster::CoverageRaster(int width, int height)
    : _width(std::max(width, 0)), _height(std::max(height, 0)),
      _cells(static_cast<size_t>(_width + 2) * static_cast<size_t>(_height), 0.0f) {}

void CoverageRaster::addPolygon(const Point* corners, int count) {
    // A polygon off the tile adds nothing; skipped, so that its edges'
    // contributions, which cancel, leave no rounding behind either.
    double lx = 1e300, hx = -1e300, ly = 1e300, hy = -1e300;
    for (int i = 0; i < count; ++i) {
        lx = std::min(lx, corners[i].x), hx = std::max(hx, corners[i].x);
        ly = std::min(ly, corners[i].y), hy = std::max(hy, corners[i].y);
    }
    if (!(hx > 0 && lx < _width && hy > 0 && ly < _height)) return;
    for (int i = 0; i < count; ++i) addLine(corners[i], corners[(i + 1) % count]);
}

// Each piece of an edge inside one row adds its height (signed by the
// edge's direction) to every pixel right of it, and to the pixel it crosses
// the part of that pixel right of it: kept as deltas summed along the row.
void CoverageRaster::addLine(Point a, Point b) {
    if (a.y == b.y) return;
    double dir = 1.0;
    if (a.y > b.y) {
        std::swap(a, b);
        dir = -1.0;
    }
    const double top = std::max(a.y, 0.0);
    const double bottom = std::min(b.y, static_cast<double>(_height));
    if (top >= bottom) return;
    const double dxdy = (b.x - a.x) / (b.y - a.y);
    const double right = _width;
    const size_t rowCells = static_cast<size_t>(_width) + 2;
    for (int row = static_cast<int>(std::floor(top)); row < bottom; ++row) {
        const double ya = std::max(top, static_cast<double>(row));
        const double yb = std::min(bottom, row + 1.0);
        if (yb <= ya) continue;
        double lo = std::clamp(a.x + (ya - a.y) * dxdy, 0.0, right);
        double hi = std::clamp(a.x + (yb - a.y) * dxdy, 0.0, right);
        if (lo > hi) std::swap(lo, hi);
        const double height = (yb - ya) * dir;
        float* cells = &_cells[static_cast<size_t>(row) * rowCells];
        const double span = hi - lo;
        double x = lo;
        do {
            const double column = std::min(std::floor(x), right);
            const double next = span > 0.0 ? std::min(column + 1.0, hi) : hi;
            const double piece = span > 0.0 ? height * (next - x) / span : height;
            const double mid = 0.5 * (x + next) - column;
            const size_t c = static_cast<size_t>(column);
            cells[c] += static_cast<float>(piece * (1.0 - mid));
            cells[c + 1] += static_cast<float>(piece * mid);
            x = next;
        } while (x < hi);
    }
}

void CoverageRaster::resolve(std::vector<float>& coverage) const {
    coverage.resize(static_cast<size_t>(_width) * static_cast<size_t>(_height));
    const size_t rowCells = static_cast<size_t>(_width) + 2;
    for (int row = 0; row < _height; ++row) {
        const float* cells = &_cells[static_cast<size_t>(row) * rowCells];
        float* out = &coverage[static_cast<size_t>(row) * static_cast<size_t>(_width)];
        double sum = 0.0;
        for (int i = 0; i < _width; ++i) {
            sum += cells[i];
            out[i] = static_cast<float>(std::min(1.0, std::fabs(sum)));
        }
    }
}

}  // namespace focus
