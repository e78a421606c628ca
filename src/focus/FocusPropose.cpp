// Proposing the value: the median focus at each value tried, a straight
// line through them, and where that line crosses the target.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "FocusInternal.h"

namespace focus {
namespace {

// Photos at one value may spread over this share of the sharp zone, and
// the values tried must move the focus by at least as much.
constexpr double kAgreeShare = 0.25;

// How sure the value is. A median of n photos scattered by s has a standard
// error of about sqrt(pi / 2) s / sqrt(n): exact for many photos, cautious
// for few. s is pooled across the values (the autofocus scatters alike at
// each), with a prior of a tenth of the sharp zone, which a measurement is
// trusted to, weighing as two photos' worth: one photo per value, or photos
// agreeing by chance, are then not taken as certain. The errors carry
// through the line fit to its crossing to first order (the crossing moves
// by the fitted focus there over the slope), and the interval spans
// kIntervalSigmas of that either side.
constexpr double kMedianError = 1.2533;
constexpr double kPriorScatterShare = 0.1;
constexpr double kPriorPhotos = 2;
constexpr double kIntervalSigmas = 2;

// Half the interval, in values, around the crossing `exact` of the line
// fitted through p.at (mean value `mv`, sum of squared deviations `svv`).
double crossingError(const Proposal& p, double mv, double svv, double scatter) {
    double variance = 0;
    for (const ValueFocus& v : p.at) {
        const double weight = 1.0 / p.at.size() + (p.exact - mv) * (v.value - mv) / svv;
        const double error = kMedianError * scatter / std::sqrt(v.photos);
        variance += weight * weight * error * error;
    }
    return kIntervalSigmas * std::sqrt(variance) / std::fabs(p.mm_per_step);
}

}  // namespace

double medianOf(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

Proposal propose(const Sample* samples, size_t count) {
    Proposal p{};
    p.refusal = ProposeRefusal::TooFewValues;
    // By value; a handful of photos, so by insertion.
    std::vector<Sample> sorted;
    for (size_t i = 0; i < count; ++i) {
        size_t at = sorted.size();
        while (at > 0 && sorted[at - 1].value > samples[i].value) --at;
        sorted.insert(sorted.begin() + static_cast<ptrdiff_t>(at), samples[i]);
    }
    std::vector<double> zones;
    for (const Sample& s : sorted) zones.push_back(s.sharp_zone_mm);
    double squares = 0;  // of each photo's focus from its value's mean
    int freedom = 0;
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        std::vector<double> foci, groupZones;
        for (; j < sorted.size() && sorted[j].value == sorted[i].value; ++j) {
            foci.push_back(sorted[j].focus_mm);
            groupZones.push_back(sorted[j].sharp_zone_mm);
        }
        double lo = foci[0], hi = foci[0], mean = 0;
        for (double f : foci) lo = std::min(lo, f), hi = std::max(hi, f), mean += f / foci.size();
        for (double f : foci) squares += (f - mean) * (f - mean);
        freedom += static_cast<int>(foci.size()) - 1;
        const ValueFocus v{sorted[i].value, medianOf(foci), hi - lo, static_cast<int>(foci.size())};
        p.at.push_back(v);
        if (p.refusal != ProposeRefusal::Disagree && v.spread_mm > kAgreeShare * medianOf(groupZones)) {
            p.refusal = ProposeRefusal::Disagree;
            p.disagreeing_value = v.value;
            p.disagreement_mm = v.spread_mm;
        }
        i = j;
    }
    if (p.at.empty() || !valuesSpreadEnough(p.at.front().value, p.at.back().value)) {
        p.refusal = ProposeRefusal::TooFewValues;
        return p;
    }
    if (p.refusal == ProposeRefusal::Disagree) return p;

    double mv = 0, mf = 0;
    for (const ValueFocus& v : p.at) mv += double(v.value) / p.at.size(), mf += v.median_focus_mm / p.at.size();
    double svv = 0, svf = 0;
    for (const ValueFocus& v : p.at) {
        svv += (v.value - mv) * (v.value - mv);
        svf += (v.value - mv) * (v.median_focus_mm - mf);
    }
    p.mm_per_step = svf / svv;
    const int spread = p.at.back().value - p.at.front().value;
    if (std::fabs(p.mm_per_step) * spread < kAgreeShare * medianOf(zones)) {
        p.refusal = ProposeRefusal::SamePlace;
        return p;
    }
    p.refusal = ProposeRefusal::None;
    p.exact = mv - mf / p.mm_per_step;
    const double prior = kPriorScatterShare * medianOf(zones);
    const double scatter = std::sqrt((squares + kPriorPhotos * prior * prior) / (freedom + kPriorPhotos));
    const double error = crossingError(p, mv, svv, scatter);
    p.low = p.exact - error;
    p.high = p.exact + error;
    const double rounded = std::round(p.exact);  // half away from zero
    p.beyond_range = rounded < kValueMin || rounded > kValueMax;
    p.value = static_cast<int>(std::clamp(rounded, double(kValueMin), double(kValueMax)));
    p.check_photo = p.value < p.at.front().value - spread || p.value > p.at.back().value + spread;
    return p;
}

bool closerValue(int past, const int* measured, size_t count, int& nearest, int& closer) {
    bool found = false;
    for (size_t i = 0; i < count; ++i) {
        if (measured[i] != past && (!found || std::abs(measured[i] - past) < std::abs(nearest - past))) nearest = measured[i];
        found = found || measured[i] != past;
    }
    const int gap = past - nearest;
    if (!found || std::abs(gap) <= kMinValueSpread) return false;
    // Halving toward `nearest` keeps between the two, within the adapter's range.
    const int step = std::max(std::abs(gap) / 2, kMinValueSpread);
    closer = nearest + (gap > 0 ? step : -step);
    return true;
}

}  // namespace focus
