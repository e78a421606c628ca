// Exact area coverage of polygons over a grid of square pixels: the chart's
// PNG and the virtual camera draw the chart's shapes with it, so their
// edges are as sharp as the pixels allow and no sharper.
#pragma once

#include <vector>

#include "Focus.h"

namespace focus {

// Accumulates the signed area of polygons over a tile of `width` x `height`
// pixels; pixel (i, j) covers [i, i+1) x [j, j+1) in tile coordinates.
// Parts of a polygon outside the tile are clipped. Polygons that only touch
// add up to full coverage along their shared edges.
class CoverageRaster {
public:
    CoverageRaster(int width, int height);

    // Adds a closed polygon, corners in tile pixel coordinates, in either
    // winding; all polygons of one raster must share the winding. One that
    // lies wholly off the tile is left out.
    void addPolygon(const Point* corners, int count);

    // The coverage of every pixel, 0 .. 1, row by row.
    void resolve(std::vector<float>& coverage) const;

private:
    void addLine(Point a, Point b);
    int _width;
    int _height;
    std::vector<float> _cells;  // (width + 2) per row: area deltas
};

}  // namespace focus
