// The chart's ink, built once from the geometry in Focus.h. Text is drawn
// with a small block font of its own, so the PNG, the SVG, the PDF and the
// virtual camera all draw the same shapes.
#include <cctype>
#include <cstring>
#include <utility>

#include "Focus.h"

namespace focus {
namespace {

constexpr double kA4Width = 210.0;
constexpr double kA4Height = 297.0;
constexpr double kLetterWidth = 215.9;
constexpr double kLetterHeight = 279.4;

// The target: bars 0.6 mm wide, upright ones 2 mm tall, flat ones in pairs
// above and below the axis; wedges either side point at it.
constexpr double kBarWidth = 0.6;
constexpr double kUprightBars[] = {-11.4, -10.2, -9.0, -1.2, 0.0, 1.2, 9.0, 10.2, 11.4};
constexpr double kFlatBarInner = 3.0;
constexpr double kFlatBarOuter = 6.5;
constexpr double kFlatBarNear = 0.4;
constexpr double kWedgeTip = 16.0;
constexpr double kWedgeBase = 19.0;

constexpr double kCheckBarY = 104.0;
constexpr double kCheckBarThickness = 1.5;
constexpr double kCheckTickHeight = 4.5;
constexpr double kCheckTickWidth = 0.4;

// Block font: 5 x 7 cells a glyph, one byte a row, high bit on the left.
constexpr int kGlyphColumns = 5;
constexpr int kGlyphRows = 7;
constexpr double kTextCell = 0.33;     // mm
constexpr double kNumberCell = 0.45;   // mm, the scale's numbers
struct Glyph {
    char c;
    uint8_t rows[kGlyphRows];
};
constexpr Glyph kFont[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}}, {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}}, {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x0A, 0x04, 0x04, 0x04, 0x04}}, {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}}, {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}}, {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}}, {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}}, {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}}, {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}}, {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
};

const char kInstructions[] = "THIS EDGE TOWARD THE CAMERA, AT ABOUT 45 DEGREES. FOCUS ON THE CENTRE.";
constexpr double kInstructionsY = -105.0;
const char kCheckBarLabel[] = "100 MM WHEN PRINTED AT 100 %";
constexpr double kCheckBarLabelY = 113.0;
// The measurement reads the scale's own stripes, not the print's size.
const char kScaleNote[] = "A print a few percent off does not change the value.";
constexpr double kScaleNoteY = 109.0;
// Between the top marks' quiet zones, which reach 13.5 mm from their centres.
const char kTitle[] = "PELAGOXCON FOCUS CHART";
constexpr double kTitleY = 124.0;
constexpr double kTitleCell = 0.6;
// The unit of the scale's numbers, past its far end and short of the bar.
const char kScaleUnit[] = "MM FROM THE TARGET";
constexpr double kScaleUnitY = 99.5;
constexpr int kNumberedDepths[] = {-90, -60, -30, 30, 60, 90};
constexpr double kTickEvery = 10.0;
constexpr double kTickInner = 7.0;
constexpr double kTickOuter = 11.0;
constexpr double kTickThickness = 0.4;

Shape rect(double x0, double y0, double x1, double y1) {
    return Shape{4, {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}};
}

const Glyph* glyphFor(char c) {
    for (const Glyph& g : kFont)
        if (g.c == c) return &g;
    return nullptr;
}

// A line of text centred on (cx, cy), cells `cell` mm square, in the font's
// capitals; a row's adjacent cells are one shape.
void addText(std::vector<Shape>& ink, const char* text, double cx, double cy, double cell) {
    const double advance = (kGlyphColumns + 1) * cell;
    const double width = static_cast<double>(std::strlen(text)) * advance - cell;
    double left = cx - width / 2.0;
    const double top = cy + kGlyphRows * cell / 2.0;
    for (const char* c = text; *c != '\0'; ++c, left += advance) {
        const Glyph* g = glyphFor(static_cast<char>(std::toupper(static_cast<unsigned char>(*c))));
        if (g == nullptr) continue;  // a blank
        for (int row = 0; row < kGlyphRows; ++row) {
            const double y1 = top - row * cell;
            for (int col = 0; col < kGlyphColumns;) {
                if (!(g->rows[row] & (0x10 >> col))) {
                    ++col;
                    continue;
                }
                const int start = col;
                while (col < kGlyphColumns && (g->rows[row] & (0x10 >> col))) ++col;
                ink.push_back(rect(left + start * cell, y1 - cell, left + col * cell, y1));
            }
        }
    }
}

void addScale(std::vector<Shape>& ink) {
    const double h = kScaleHalfLength;
    const double shift = kStripeSlant * h;
    for (int i = 0; i < kStripesPerColumn; i += 2) {
        const double a = kColumnInnerX + i * kStripeWidth;
        const double b = a + kStripeWidth;
        ink.push_back(Shape{4, {{a - shift, -h}, {b - shift, -h}, {b + shift, h}, {a + shift, h}}});
        ink.push_back(Shape{4, {{-a + shift, -h}, {-a - shift, h}, {-b - shift, h}, {-b + shift, -h}}});
    }
    for (double y = kTickEvery; y <= kScaleHalfLength; y += kTickEvery) {
        if (y - kTickThickness < kTargetClearHalfDepth) continue;
        for (double s : {-1.0, 1.0}) {
            const double yy = s * y - kTickThickness / 2.0;
            ink.push_back(rect(kTickInner, yy, kTickOuter, yy + kTickThickness));
            ink.push_back(rect(-kTickOuter, yy, -kTickInner, yy + kTickThickness));
        }
    }
    char label[8];
    for (int depth : kNumberedDepths) {
        label[0] = depth > 0 ? '+' : '-';
        const int magnitude = depth > 0 ? depth : -depth;
        label[1] = static_cast<char>('0' + magnitude / 10);
        label[2] = static_cast<char>('0' + magnitude % 10);
        label[3] = '\0';
        addText(ink, label, 0.0, depth, kNumberCell);
    }
    addText(ink, kScaleUnit, 0.0, kScaleUnitY, kTextCell);
}

void addTarget(std::vector<Shape>& ink) {
    const double d = kTargetHalfDepth;
    for (double x : kUprightBars) ink.push_back(rect(x - kBarWidth / 2, -d, x + kBarWidth / 2, d));
    for (double s : {-1.0, 1.0}) {
        const double x0 = s > 0 ? kFlatBarInner : -kFlatBarOuter;
        const double x1 = s > 0 ? kFlatBarOuter : -kFlatBarInner;
        ink.push_back(rect(x0, kFlatBarNear, x1, kFlatBarNear + kBarWidth));
        ink.push_back(rect(x0, -kFlatBarNear - kBarWidth, x1, -kFlatBarNear));
        ink.push_back(Shape{3, {{s * kWedgeBase, -d}, {s * kWedgeTip, 0.0}, {s * kWedgeBase, d}, {0, 0}}});
    }
}

// Solid squares, the top-left one with a hole: four bands around it.
void addMarks(std::vector<Shape>& ink) {
    const double o = kMarkSize / 2.0;
    const double in = kMarkHoleSize / 2.0;
    for (double sy : {1.0, -1.0}) {
        for (double sx : {-1.0, 1.0}) {
            const double cx = sx * kMarkX;
            const double cy = sy * kMarkY;
            if (sx < 0 && sy > 0) {
                ink.push_back(rect(cx - o, cy - o, cx + o, cy - in));
                ink.push_back(rect(cx - o, cy + in, cx + o, cy + o));
                ink.push_back(rect(cx - o, cy - in, cx - in, cy + in));
                ink.push_back(rect(cx + in, cy - in, cx + o, cy + in));
            } else {
                ink.push_back(rect(cx - o, cy - o, cx + o, cy + o));
            }
        }
    }
}

void addCheckBar(std::vector<Shape>& ink) {
    const double half = kCheckBarLength / 2.0;
    const double y0 = kCheckBarY;
    const double y1 = y0 + kCheckBarThickness;
    const double mid = (y0 + y1) / 2.0;
    // The ticks' outer sides are the 100 mm; the bar runs between them.
    ink.push_back(rect(-half, mid - kCheckTickHeight / 2, -half + kCheckTickWidth, mid + kCheckTickHeight / 2));
    ink.push_back(rect(half - kCheckTickWidth, mid - kCheckTickHeight / 2, half, mid + kCheckTickHeight / 2));
    ink.push_back(rect(-half + kCheckTickWidth, y0, half - kCheckTickWidth, y1));
    addText(ink, kCheckBarLabel, 0.0, kCheckBarLabelY, kTextCell);
    addText(ink, kScaleNote, 0.0, kScaleNoteY, kTextCell);
}

// One winding for all, counter-clockwise, as the coverage raster needs.
void windCounterClockwise(Shape& s) {
    double area = 0.0;
    for (int i = 0; i < s.corners; ++i) {
        const Point& a = s.p[i];
        const Point& b = s.p[(i + 1) % s.corners];
        area += a.x * b.y - b.x * a.y;
    }
    if (area < 0.0)
        for (int i = 0, j = s.corners - 1; i < j; ++i, --j) std::swap(s.p[i], s.p[j]);
}

std::vector<Shape> buildInk() {
    std::vector<Shape> ink;
    addMarks(ink);
    addTarget(ink);
    addScale(ink);
    addCheckBar(ink);
    addText(ink, kInstructions, 0.0, kInstructionsY, kTextCell);
    addText(ink, kTitle, 0.0, kTitleY, kTitleCell);
    for (Shape& s : ink) windCounterClockwise(s);
    return ink;
}

}  // namespace

PageSize pageSize(Paper paper) {
    return paper == Paper::Letter ? PageSize{kLetterWidth, kLetterHeight} : PageSize{kA4Width, kA4Height};
}

const std::vector<Shape>& chartInk() {
    static const std::vector<Shape> ink = buildInk();
    return ink;
}

}  // namespace focus
