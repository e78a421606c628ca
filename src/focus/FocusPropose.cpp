// Proposing the value: the median focus at each value tried, a straight
// line through them, and where that line crosses the target.
#include <algorithm>
#include <cmath>

#include "FocusInternal.h"

namespace focus {
namespace {

// Photos at one value may spread over this share of the sharp zone, and
// the values tried must move the focus by at least as much.
constexpr double kAgreeShare = 0.25;

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
    for (size_t i = 0; i < sorted.size();) {
        size_t j = i;
        std::vector<double> foci, groupZones;
        for (; j < sorted.size() && sorted[j].value == sorted[i].value; ++j) {
            foci.push_back(sorted[j].focus_mm);
            groupZones.push_back(sorted[j].sharp_zone_mm);
        }
        double lo = foci[0], hi = foci[0];
        for (double f : foci) lo = std::min(lo, f), hi = std::max(hi, f);
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
    const double rounded = std::round(p.exact);  // half away from zero
    p.beyond_range = rounded < kValueMin || rounded > kValueMax;
    p.value = static_cast<int>(std::clamp(rounded, double(kValueMin), double(kValueMax)));
    p.check_photo = p.value < p.at.front().value - spread || p.value > p.at.back().value + spread;
    return p;
}

}  // namespace focus
