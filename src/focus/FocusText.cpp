// What a measurement and a proposal say: the lines the console program
// prints and the page shows, and their JSON.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "Focus.h"

namespace focus {

void appendf(std::string& out, const char* format, ...) {
    char buf[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) out.append(buf, static_cast<size_t>(std::min<int>(n, sizeof buf - 1)));
}

namespace {

// Rounded to `decimals`, without a "-0".
double tidy(double v, int decimals) {
    static const double kScales[] = {1, 10, 100, 1000, 10000};
    const double scale = kScales[decimals];
    const double r = std::round(v * scale) / scale;
    return r == 0 ? 0.0 : r;
}

}  // namespace

std::string measurementLine(const Measurement& m) {
    if (m.refusal != Refusal::None) return refusalText(m.refusal);
    const double d = tidy(m.focus_mm, 1);
    if (d == 0) return "Focus lies on the target.";
    std::string out;
    // The owner's word too: a lens that focuses beyond the target back-focuses.
    appendf(out, "Focus lies %.1f mm %s the target on the chart (%s).", std::fabs(d), d > 0 ? "beyond" : "in front of",
            d > 0 ? "back-focus" : "front-focus");
    return out;
}

static_assert(kOnTargetShare == 0.1, "the check line says \"a tenth\"");

bool checkLine(const Measurement& m, int value, std::string& line) {
    line.clear();
    if (m.refusal != Refusal::None) {
        line = refusalText(m.refusal);
        return false;
    }
    const double tolerance = kOnTargetShare * m.sharp_zone_mm;
    const double distance = std::fabs(m.focus_mm);
    if (distance <= tolerance) {
        appendf(line, "At %d, focus lies on the target: within a tenth of the sharp zone.", value);
        return true;
    }
    appendf(line, "At %d, focus lies %.1f mm %s the target, more than a tenth of the sharp zone (%.1f mm).", value,
            distance, m.focus_mm > 0 ? "beyond" : "in front of", tolerance);
    return false;
}

std::string measurementJson(const Measurement& m) {
    std::string out;
    appendf(out, "{\"focus_mm\": %.2f, \"sharp_zone_mm\": %.2f, \"blur_px_per_mm\": %.4f, ", tidy(m.focus_mm, 2),
            tidy(m.sharp_zone_mm, 2), tidy(m.blur_px_per_mm, 4));
    appendf(out, "\"sharpest_blur_px\": %.2f, \"sides_disagree_mm\": %.2f, \"fit_residual\": %.3f, ",
            tidy(m.sharpest_blur_px, 2), tidy(m.sides_disagree_mm, 2), tidy(m.fit_residual, 3));
    appendf(out, "\"bands\": %d, \"px_per_mm\": %.2f}", m.bands, tidy(m.px_per_mm, 2));
    return out;
}

std::string proposalText(const Proposal& p) {
    std::string out;
    switch (p.refusal) {
    case ProposeRefusal::TooFewValues:
        appendf(out, "Take photos at two values at least %d apart.\n", kMinValueSpread);
        return out;
    case ProposeRefusal::Disagree:
        appendf(out, "The photos at %d disagree by %.1f mm; the autofocus is not repeatable here: take more photos at %d.\n",
                p.disagreeing_value, tidy(p.disagreement_mm, 1), p.disagreeing_value);
        return out;
    case ProposeRefusal::SamePlace:
        return "The photos at the two values focus on the same place; is the lens in the zone you are tuning? "
               "Take photos at values further apart.\n";
    case ProposeRefusal::None:
        break;
    }
    appendf(out, "Set the correction to %d.\n", p.value);
    appendf(out, "The photos place it between %.1f and %.1f.\n", tidy(p.low, 1), tidy(p.high, 1));
    if (p.high - p.low > kWideInterval) out += "Take more photos at each value to narrow it.\n";
    if (p.beyond_range)
        out += "The best value lies beyond the adapter's range.\n";
    else if (p.check_photo)
        appendf(out, "Check it with a photo at %d.\n", p.value);
    return out;
}

std::string proposalJson(const Proposal& p) {
    std::string out;
    appendf(out, "{\"value\": %d, \"exact\": %.2f, \"low\": %.2f, \"high\": %.2f, ", p.value, tidy(p.exact, 2),
            tidy(p.low, 2), tidy(p.high, 2));
    appendf(out, "\"mm_per_step\": %.4f, \"check_photo\": %s, \"beyond_range\": %s, \"at\": [", tidy(p.mm_per_step, 4),
            p.check_photo ? "true" : "false", p.beyond_range ? "true" : "false");
    for (size_t i = 0; i < p.at.size(); ++i)
        appendf(out, "%s{\"value\": %d, \"median_focus_mm\": %.2f, \"spread_mm\": %.2f, \"photos\": %d}", i ? ", " : "",
                p.at[i].value, tidy(p.at[i].median_focus_mm, 2), tidy(p.at[i].spread_mm, 2), p.at[i].photos);
    out += "]}";
    return out;
}

std::string pastEndText(int past, const int* measured, size_t count) {
    int nearest = 0, closer = 0;
    std::string out;
    if (closerValue(past, measured, count, nearest, closer))
        appendf(out, "At %d the focus moved past the end of the chart: take these photos at a value closer to %d, such as %d.\n",
                past, nearest, closer);
    return out;
}

std::string refusalTextForLens(Refusal refusal, double focal_mm) {
    std::string out = refusalText(refusal);
    // Tenths of a metre are as close as anyone paces a distance out.
    if (refusal == Refusal::SharpZoneTooLong && focal_mm > 0)
        appendf(out, " (%g m for this %g mm lens)", tidy(kCloseFocalLengths * focal_mm / 1000, 1), tidy(focal_mm, 1));
    return out;
}

}  // namespace focus
