// The focus assistant against the virtual camera's truth: a dozen scenes,
// each chosen for a fault it would catch. A measurement lands within a
// tenth of the depth of field; a proposal within one step of the best
// value between the values tried, two beyond them.
#include <gtest/gtest.h>

#include <cmath>

#include "Focus.h"
#include "PhotoFile.h"
#include "VirtualCamera.h"

namespace {

constexpr double kMeasureTolerance = 0.1;  // of the depth of field
constexpr int kPhotosPerValue = 3;

struct SceneCase {
    const char* name;
    camera::Scene scene;
    std::vector<int> values;  // propose across these; none: measure the scene
};

camera::Scene scene(double focusMm, void (*adjust)(camera::Scene&) = nullptr) {
    camera::Scene s;
    s.width = s.height = 1600;
    s.focusMm = focusMm;
    if (adjust) adjust(s);
    return s;
}

const SceneCase kScenes[] = {
    {"Plain", scene(4), {}},
    // A thin depth of field under strong perspective: blur outgrows the
    // stripes a few centimetres from focus, leaving few bands to fit.
    {"SteepCloseWideOpen", scene(30, [](camera::Scene& s) { s.angleDeg = 35, s.distance = 15, s.fNumber = 1.4; }), {}},
    {"FlatFarAway", scene(-12, [](camera::Scene& s) {
         s.angleDeg = 55, s.distance = 40, s.fNumber = 1.4, s.width = s.height = 2400;
     }), {}},
    // Overshoot narrows edges near focus: a width read off the steepest
    // slope alone would be fooled.
    {"Sharpened", scene(15, [](camera::Scene& s) { s.sharpen = 1.5; }), {}},
    {"Rolled", scene(-20, [](camera::Scene& s) { s.rollDeg = 5; }), {}},
    // Stored upside down or sideways: orientation comes from the marks, or
    // beyond and in front swap.
    {"UpsideDown", scene(12, [](camera::Scene& s) { s.rollDeg = 180; }), {}},
    {"Sideways", scene(-25, [](camera::Scene& s) { s.rollDeg = -90, s.width = 1400; }), {}},
    // The chart turned on the table: the two columns focus at different
    // heights, and the axis lies between them.
    {"Turned", scene(30, [](camera::Scene& s) { s.yawDeg = -5; }), {}},
    // Its top edge toward the camera: the near end is read from the chart's
    // scale, so beyond stays beyond.
    {"TurnedRound", scene(15, [](camera::Scene& s) { s.yawDeg = 180; }), {}},
    // Dark squares or bands of the marks' size all round the paper.
    {"CheckerTable", scene(-8, [](camera::Scene& s) { s.table = camera::Table::Checker, s.fill = 0.6; }), {}},
    {"StripedTableTurned", scene(20, [](camera::Scene& s) { s.table = camera::Table::Stripes, s.yawDeg = 170; }), {}},
    {"NoisyAndCoarse", scene(-10, [](camera::Scene& s) { s.iso = 3200, s.quality = 75; }), {}},
    {"DarkCornersLetterPaper", scene(-40, [](camera::Scene& s) {
         s.vignetting = 0.6, s.paper = focus::Paper::Letter, s.fNumber = 1.4;
     }), {}},
    // One step moves focus toward the camera here (the direction is nowhere
    // documented), by a tenth of the depth of field, best value between.
    {"ProposeBetween", scene(22, [](camera::Scene& s) { s.mmPerStep = -3.2, s.scatterMm = 1.5; }), {0, 20}},
    // Best value beyond the values tried, by less than their spread.
    {"ProposeBeyond", scene(-42, [](camera::Scene& s) { s.mmPerStep = 1.2, s.scatterMm = 1; }), {0, 20}},
    // 4 mm a step: at 20 the focus lies 68 mm out, its sharp zone reaching
    // the end of the scale, and is measured all the same.
    {"FourMmPerStep", scene(-12, [](camera::Scene& s) { s.mmPerStep = 4, s.scatterMm = 1; }), {0, 20}},
    // At 20 the focus would lie 98 mm out, past the far end: the program
    // asks for 10 instead (FocusRuns.PastFarEnd), which is then enough.
    {"CloserAfterPastTheEnd", scene(-12, [](camera::Scene& s) { s.mmPerStep = 5.5, s.scatterMm = 1; }), {0, 10}},
};

focus::Measurement measure(const camera::Scene& s) {
    const std::string file = camera::photographFile(s);
    focus::GreyPhoto photo;
    std::string error;
    EXPECT_TRUE(focus::decodeGreyPhoto(reinterpret_cast<const uint8_t*>(file.data()), file.size(), photo, error)) << error;
    return focus::measureGrey(photo.pixels.get(), photo.width, photo.height, photo.width);
}

class FocusScenes : public testing::TestWithParam<SceneCase> {};

TEST_P(FocusScenes, LandsOnTheTruth) {
    const SceneCase& c = GetParam();
    if (c.values.empty()) {
        const camera::Truth t = camera::truth(c.scene);
        const focus::Measurement m = measure(c.scene);
        ASSERT_EQ(m.refusal, focus::Refusal::None) << focus::refusalText(m.refusal);
        EXPECT_NEAR(m.focus_mm, t.focusMm, kMeasureTolerance * t.depthOfFieldMm);
        EXPECT_NEAR(m.sharp_zone_mm, t.depthOfFieldMm, 0.25 * t.depthOfFieldMm);
        return;
    }
    std::vector<focus::Sample> samples;
    for (int value : c.values) {
        for (int shot = 1; shot <= kPhotosPerValue; ++shot) {
            camera::Scene s = c.scene;
            s.value = value;
            s.seed = static_cast<uint64_t>(value * 100 + shot);
            const focus::Measurement m = measure(s);
            ASSERT_EQ(m.refusal, focus::Refusal::None) << value << ": " << focus::refusalText(m.refusal);
            samples.push_back({value, m.focus_mm, m.sharp_zone_mm});
        }
    }
    const focus::Proposal p = focus::propose(samples.data(), samples.size());
    ASSERT_EQ(p.refusal, focus::ProposeRefusal::None) << focus::proposalText(p);
    const double best = -c.scene.focusMm / c.scene.mmPerStep;
    const bool between = best >= c.values.front() && best <= c.values.back();
    EXPECT_NEAR(p.value, best, between ? 1 : 2) << focus::proposalText(p);
    EXPECT_EQ(p.check_photo, false);
    EXPECT_NEAR(p.mm_per_step, c.scene.mmPerStep, 0.1 * std::fabs(c.scene.mmPerStep));
    EXPECT_TRUE(p.low <= best && best <= p.high) << p.low << " .. " << p.high;
    // A photo at each value alone places it less surely.
    const focus::Sample firsts[] = {samples.front(), samples.back()};
    const focus::Proposal fewer = focus::propose(firsts, 2);
    EXPECT_GT(fewer.high - fewer.low, p.high - p.low);
}

INSTANTIATE_TEST_SUITE_P(Table, FocusScenes, testing::ValuesIn(kScenes),
                         [](const testing::TestParamInfo<SceneCase>& info) { return std::string(info.param.name); });

}  // namespace
