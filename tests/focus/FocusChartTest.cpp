// The chart's geometry as photos and printers rely on it, and every way
// pelagoxcon-focus refuses, run as the user runs it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "ChartPng.h"
#include "Focus.h"
#include "CameraExif.h"
#include "PhotoFile.h"
#include "PhotoTags.h"
#include "Subprocess.h"
#include "VirtualCamera.h"

namespace {

using namespace std::literals;
using focus::chartInk;
using focus::Shape;

constexpr double kPrinterMargin = 6.0;
// Where the mark finder expects white paper around a mark's centre.
constexpr double kMarkQuietDistance = 13.5;

double lowest(const Shape& s, bool x) {
    double v = 1e9;
    for (int i = 0; i < s.corners; ++i) v = std::min(v, x ? s.p[i].x : s.p[i].y);
    return v;
}
double highest(const Shape& s, bool x) {
    double v = -1e9;
    for (int i = 0; i < s.corners; ++i) v = std::max(v, x ? s.p[i].x : s.p[i].y);
    return v;
}

TEST(FocusChart, GeometryHoldsItsContract) {
    double scaleLow = 0, scaleHigh = 0;
    for (const Shape& s : chartInk()) {
        for (focus::Paper paper : {focus::Paper::A4, focus::Paper::Letter}) {
            const focus::PageSize page = focus::pageSize(paper);
            EXPECT_LE(highest(s, true), page.width_mm / 2 - kPrinterMargin);
            EXPECT_GE(lowest(s, true), -page.width_mm / 2 + kPrinterMargin);
            EXPECT_LE(highest(s, false), page.height_mm / 2 - kPrinterMargin);
            EXPECT_GE(lowest(s, false), -page.height_mm / 2 + kPrinterMargin);
        }
        for (double cx : {-focus::kMarkX, focus::kMarkX}) {
            for (double cy : {-focus::kMarkY, focus::kMarkY}) {
                const double q = kMarkQuietDistance, m = focus::kMarkSize / 2;
                const bool apart = lowest(s, true) >= cx + q || highest(s, true) <= cx - q ||
                                   lowest(s, false) >= cy + q || highest(s, false) <= cy - q;
                const bool marks = lowest(s, true) >= cx - m && highest(s, true) <= cx + m &&
                                   lowest(s, false) >= cy - m && highest(s, false) <= cy + m;
                EXPECT_TRUE(apart || marks) << "ink in the quiet zone of " << cx << ", " << cy;
            }
        }
        // The autofocus sees only the target's bars near the middle, all
        // within 2 mm of depth.
        const bool nearTarget = lowest(s, false) < focus::kTargetClearHalfDepth &&
                                highest(s, false) > -focus::kTargetClearHalfDepth &&
                                std::fabs(lowest(s, true) + highest(s, true)) / 2 < focus::kColumnInnerX - 2;
        if (nearTarget) {
            EXPECT_LE(highest(s, false), focus::kTargetHalfDepth);
            EXPECT_GE(lowest(s, false), -focus::kTargetHalfDepth);
        }
        if (lowest(s, true) > focus::kColumnInnerX - 8 && highest(s, false) - lowest(s, false) > 100) {
            scaleLow = std::min(scaleLow, lowest(s, false));
            scaleHigh = std::max(scaleHigh, highest(s, false));
        }
    }
    EXPECT_LE(scaleLow, -90);
    EXPECT_GE(scaleHigh, 90);
    EXPECT_GE(focus::kMeasuredHalfLength, 90);
}

// Read back from the PNG as a printer gets it: the marks' centres say the
// orientation (only the top-left one is white), the bar is 100 mm.
TEST(FocusChart, PngPrintsTheMarksAndTheBarTrueToSize) {
    const int dpi = 100;
    const std::string png = focus::chartPng(focus::Paper::Letter, dpi);
    focus::GreyPhoto photo;
    std::string error;
    ASSERT_TRUE(focus::decodeGreyPhoto(reinterpret_cast<const uint8_t*>(png.data()), png.size(), photo, error)) << error;
    EXPECT_EQ(photo.width, std::lround(215.9 / 25.4 * dpi));
    EXPECT_EQ(photo.height, std::lround(279.4 / 25.4 * dpi));
    EXPECT_NE(png.find("pHYs"), std::string::npos);
    auto at = [&](double x, double y) {
        const double s = dpi / 25.4;
        return photo.pixels.get()[std::lround((279.4 / 2 - y) * s) * photo.width + std::lround((x + 215.9 / 2) * s)];
    };
    EXPECT_GT(at(-focus::kMarkX, focus::kMarkY), 200);
    EXPECT_LT(at(focus::kMarkX, focus::kMarkY), 50);
    EXPECT_LT(at(focus::kMarkX, -focus::kMarkY), 50);
    EXPECT_LT(at(-focus::kMarkX, -focus::kMarkY), 50);
    // The bar's ends: ink just inside 50 mm either side, paper just outside.
    for (double side : {-1.0, 1.0}) {
        EXPECT_LT(at(side * 49.8, 104.75), 128) << side;
        EXPECT_GT(at(side * 50.4, 104.75), 200) << side;
    }
}

TEST(FocusChart, VectorDocumentsHaveThePapersSize) {
    EXPECT_NE(focus::chartSvg(focus::Paper::A4).find("width=\"210.0mm\" height=\"297.0mm\""), std::string::npos);
    const std::string pdf = focus::chartPdf(focus::Paper::Letter);
    EXPECT_NE(pdf.find("/MediaBox [0 0 612.00 792.00]"), std::string::npos);
    // Every cross-reference entry points at its object, and startxref at the table.
    const size_t xref = pdf.rfind("xref\n0 6\n");
    ASSERT_NE(xref, std::string::npos);
    EXPECT_EQ(std::to_string(xref), pdf.substr(pdf.rfind("startxref\n") + 10, std::to_string(xref).size()));
    for (int object = 1; object <= 5; ++object) {
        const size_t offset = std::stoul(pdf.substr(xref + 9 + 20 * object, 10));
        EXPECT_EQ(pdf.compare(offset, 8, std::to_string(object) + " 0 obj\n"), 0) << object;
    }
}

// --- The refusals, and the command line, through the program ------------

// A photo the refusals need: a scene of the virtual camera, or made by hand.
const std::map<std::string, std::function<std::string()>>& photoMakers() {
    static const std::map<std::string, std::function<std::string()>> makers = [] {
        auto scene = [](double focusMm, double fNumber, double distance, void (*adjust)(camera::Scene&) = nullptr,
                        uint64_t seed = 1) {
            return [=] {
                camera::Scene s;
                s.width = s.height = 800;
                s.focusMm = focusMm;
                s.fNumber = fNumber;
                s.distance = distance;
                s.seed = seed;
                if (adjust) adjust(s);
                return camera::photographFile(s);
            };
        };
        // Headers alone: a JPEG's frame (`sof`, a sampling byte for each
        // component) and a PNG's IHDR, each with the format's end.
        auto jpeg = [](char sof, int width, int height, std::string sampling) {
            std::string frame = {'\xFF', '\xD8', '\xFF', sof, 0, char(8 + 3 * sampling.size()), 8,
                                 char(height >> 8), char(height), char(width >> 8), char(width), char(sampling.size())};
            for (char each : sampling) frame += {1, each, 0};
            return [=] { return frame + "\xFF\xD9"; };
        };
        auto png = [](int width, int height, char depth) {
            std::string ihdr("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
            for (int v : {width, height}) ihdr += {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
            ihdr += {depth, 2, 0, 0, 0, 0, 0, 0, 0};
            return [=] { return ihdr + std::string("\0\0\0\0IEND\xAE\x42\x60\x82", 12); };
        };
        std::map<std::string, std::function<std::string()>> m;
        m["focus20.jpg"] = scene(20, 1.4, 15);
        m["focus0.jpg"] = scene(0, 1.4, 15);
        m["focus12.jpg"] = scene(12, 1.4, 15);
        m["offchart.jpg"] = scene(150, 1.4, 15);
        m["atend.jpg"] = scene(70, 1.4, 15);
        m["pastfar.jpg"] = [] {  // the ends need the finer photo
            camera::Scene s;
            s.width = s.height = 1600;
            s.focusMm = 98;
            return camera::photographFile(s);
        };
        m["deep.jpg"] = scene(0, 5.6, 40);
        m["f2.jpg"] = scene(0, 2, 15);
        m["at50mm.jpg"] = scene(0, 1.4, 15, [](camera::Scene& s) { s.focalMm = 50; });
        m["phone.jpg"] = scene(0, 1.4, 15, [](camera::Scene& s) { s.focal35Mm = 171; });
        m["oddname.jpg"] = scene(0, 1.4, 15, [](camera::Scene& s) { s.make = "Odd\"\x1b[2J\xe9"; });
        // Formats told by their first bytes, whatever the name says.
        m["nef.jpg"] = [] { return "II*\0\x08\0\0\0\x01\0\x0f\x01\x02\0\x06\0\0\0\x1a\0\0\0\0\0\0\0NIKON\0"s; };
        m["scan.tif"] = [] { return "MM\0*\0\0\0\x08\0\0\0\0\0\0"s; };
        m["raw.raf"] = [] { return "FUJIFILMCCD-RAW 0201FF383501"s; };
        m["photo.heic"] = [] { return "\0\0\0\x18" "ftypheic\0\0\0\0mif1heic"s; };
        m["image.webp"] = [] { return "RIFF\x24\0\0\0WEBPVP8 "s; };
        m["blank.png"] = [] {
            const std::vector<uint8_t> grey(400 * 300, 128);
            return focus::encodeGrey(grey.data(), 400, 300, 0);
        };
        // Three marks: the right fifth of a good photo cut off.
        m["cut.png"] = [] {
            camera::Scene s;
            s.width = s.height = 800;
            const std::vector<uint8_t> full = camera::photograph(s);
            std::vector<uint8_t> cut;
            for (int y = 0; y < 800; ++y) cut.insert(cut.end(), full.begin() + y * 800, full.begin() + y * 800 + 640);
            return focus::encodeGrey(cut.data(), 640, 800, 0);
        };
        // Left for right, as an editor's flip leaves a photo.
        m["mirrored.jpg"] = [] {
            camera::Scene s;
            s.width = s.height = 800;
            s.focusMm = 12;
            std::vector<uint8_t> grey = camera::photograph(s);
            for (auto row = grey.begin(); row != grey.end(); row += 800) std::reverse(row, row + 800);
            return focus::encodeGrey(grey.data(), 800, 800, 90);
        };
        m["notes.txt"] = [] { return std::string("not a photo\n"); };
        m["focus0-again.jpg"] = scene(0, 1.4, 15, nullptr, 2);
        m["copy.jpg"] = m["focus0.jpg"];
        m["empty.jpg"] = [] { return std::string(); };
        m["short.jpg"] = [whole = scene(20, 1.4, 15)] {
            const std::string w = whole();
            return w.substr(0, w.size() / 2);
        };
        m["stub.jpg"] = jpeg('\xC0', 8000, 6000, "\x22\x11\x11");
        m["progressive.jpg"] = jpeg('\xC2', 11648, 8736, "\x11\x11\x11");
        m["huge.jpg"] = jpeg('\xC0', 20000, 20000, "\x11");
        m["arithmetic.jpg"] = jpeg('\xC9', 800, 600, "\x11");
        m["wide.png"] = png(8000, 6000, 16);
        return m;
    }();
    return makers;
}

struct RunCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* errStarts;  // stderr starts with this ("" for none)
    const char* errEnds;
    const char* outStarts;
    const char* outEnds = "";
    bool picture = false;  // the file after --picture is written
};

const RunCase kRuns[] = {
    {"NoChart", {"measure", "blank.png"}, 1,
     "blank.png: the chart was not found; all four corner marks must be in the photo\n", "", ""},
    {"ThreeMarks", {"measure", "cut.png"}, 1, "cut.png: the chart was not found;", "", ""},
    {"FocusOffChart", {"measure", "offchart.jpg"}, 1,
     "offchart.jpg: no part of the chart's scale is sharp; the focus lies off the chart or the camera moved\n", "", ""},
    {"SharpZoneNearTheEnd", {"measure", "atend.jpg"}, 0, "", "", "Focus lies 7", " mm beyond the target on the chart (back-focus).\n"},
    {"PastFarEnd", {"propose", "--at", "0", "focus0.jpg", "--at", "20", "pastfar.jpg"}, 1,
     "pastfar.jpg: the focus lies past the chart's far end, more than 92 mm beyond the target\nAt 20 the focus moved past "
     "the end of the chart: take these photos at a value closer to 0, such as 10.\n", "", ""},
    {"DeepFocus", {"measure", "deep.jpg"}, 1,
     "deep.jpg: the sharp part covers more than a quarter of the chart's scale; open the aperture or move closer, to about "
     "15 times the focal length (1.3 m for this 85 mm lens)\n", "", ""},
    {"FlatChartShowsNoNearEnd", {"measure", "chart.png"}, 1,
     "chart.png: the photo does not show which end of the chart is nearer; photograph it at about 45 degrees\n", "", ""},
    {"Mirrored", {"measure", "mirrored.jpg"}, 1, "mirrored.jpg: the photo is mirrored; use the camera's own file\n", "", ""},
    {"Beyond", {"measure", "focus20.jpg"}, 0, "", "", "Focus lies ", " mm beyond the target on the chart (back-focus).\n"},
    {"Json", {"measure", "--json", "focus0.jpg"}, 0, "", "", "{\"focus_mm\": ",
     ", \"focal_length_mm\": 85, \"f_number\": 1.4, \"camera\": \"PelagoXcon virtual camera\"}\n"},
    {"CameraEscaped", {"measure", "--json", "oddname.jpg"}, 0, "", "", "{", "\"camera\": \"Odd\\\"\\u001B[2J\\u00E9 virtual camera\"}\n"},
    {"Phone", {"measure", "phone.jpg"}, 1,
     "phone.jpg: it was taken with a phone; take the photos with the camera, through the adapter\n", "", ""},
    {"RawByBytes", {"measure", "nef.jpg"}, 1,
     "nef.jpg: it is a RAW file; set the camera to JPEG or RAW+JPEG for these photos, or export a full-size JPEG\n", "", ""},
    {"Tiff", {"measure", "scan.tif"}, 1, "scan.tif: it is a TIFF image; save it as JPEG\n", "", ""},
    {"Heif", {"measure", "photo.heic"}, 1, "photo.heic: it is a HEIF photo; set the camera to JPEG for these photos\n", "", ""},
    {"WebP", {"measure", "image.webp"}, 1, "image.webp: it is a WebP image; save it as JPEG\n", "", ""},
    {"RawInPropose", {"propose", "--at", "0", "focus0.jpg", "--at", "20", "raw.raf"}, 1, "raw.raf: it is a RAW file;", "", ""},
    {"MixedApertures", {"propose", "--at", "0", "focus0.jpg", "--at", "0", "f2.jpg", "--at", "10", "focus20.jpg"}, 1,
     "The photos at 0 were taken at f/1.4 and f/2; take them all at the same aperture, the widest.\n", "", ""},
    {"MixedFocalLengths", {"propose", "--at", "0", "focus0.jpg", "--at", "0", "at50mm.jpg", "--at", "10", "focus20.jpg"}, 1,
     "The photos at 0 were taken at 50 mm and 85 mm; take them all with the same lens at the same focal length.\n", "", ""},
    {"MissingPhoto", {"measure", "missing.jpg"}, 1, "missing.jpg: No such file or directory\n", "", ""},
    {"NotAPhoto", {"measure", "notes.txt"}, 1, "notes.txt: it is not a JPEG or PNG photo\n", "", ""},
    {"Fifo", {"measure", "pipe.fifo"}, 1, "pipe.fifo: it is not a regular file\n", "", ""},
    {"FifoInPropose", {"propose", "--at", "0", "focus0.jpg", "--at", "20", "pipe.fifo"}, 1,
     "pipe.fifo: it is not a regular file\n", "", ""},
    {"Directory", {"measure", "album.d"}, 1, "album.d: it is a directory\n", "", ""},
    {"Empty", {"measure", "empty.jpg"}, 1, "empty.jpg: it is empty\n", "", ""},
    {"CutShort", {"measure", "short.jpg"}, 1, "short.jpg: it is cut short\n", "", ""},
    {"FarTooShortForItsHeader", {"measure", "stub.jpg"}, 1, "stub.jpg: it is cut short\n", "", ""},
    {"ProgressiveTooLarge", {"measure", "progressive.jpg"}, 1,
     "progressive.jpg: it is too large to measure (11648 x 8736, progressive JPEG); save it as an ordinary JPEG\n", "",
     ""},
    {"BaselineTooLarge", {"measure", "huge.jpg"}, 1,
     "huge.jpg: it is too large to measure (20000 x 20000, JPEG); save it at a smaller size\n", "", ""},
    {"Png16TooLarge", {"measure", "wide.png"}, 1,
     "wide.png: it is too large to measure (8000 x 6000, 16-bit PNG); save it as a JPEG\n", "", ""},
    {"Arithmetic", {"measure", "arithmetic.jpg"}, 1,
     "arithmetic.jpg: it is an arithmetic-coded JPEG, which cannot be read; save it as an ordinary JPEG\n", "", ""},
    {"SameFileTwice", {"propose", "--at", "0", "focus0.jpg", "--at", "20", "focus0.jpg"}, 1,
     "focus0.jpg and focus0.jpg are the same photo\n", "", ""},
    {"SameBytesTwice", {"propose", "--at", "0", "focus0.jpg", "--at", "0", "focus12.jpg", "--at", "20", "copy.jpg"}, 1,
     "focus0.jpg and copy.jpg are the same photo\n", "", ""},
    {"ValuesTooClose", {"propose", "--at", "0", "missing.jpg", "--at", "4", "missing.jpg"}, 1,
     "Take photos at two values at least 5 apart.\n", "", ""},
    {"OneValue", {"propose", "--at", "9", "focus0.jpg", "--at", "9", "focus12.jpg"}, 1,
     "Take photos at two values at least 5 apart.\n", "", ""},
    {"Disagree", {"propose", "--at", "0", "focus0.jpg", "--at", "0", "focus12.jpg", "--at", "10", "focus20.jpg"}, 1,
     "The photos at 0 disagree by 1", " mm; the autofocus is not repeatable here: take more photos at 0.\n", ""},
    {"SamePlace", {"propose", "--at", "-20", "focus0.jpg", "--at", "20", "focus0-again.jpg"}, 1,
     "The photos at the two values focus on the same place; is the lens in the zone you are tuning? Take photos at "
     "values further apart.\n",
     "", ""},
    {"RefusedPhotoInPropose", {"propose", "--at", "0", "focus0.jpg", "--at", "20", "blank.png"}, 1,
     "blank.png: the chart was not found", "", ""},
    {"NoCommand", {}, 2, "pelagoxcon-focus: ", "", ""},
    {"ValueOutOfRange", {"propose", "--at", "128", "focus0.jpg", "--at", "0", "focus0.jpg"}, 2,
     "pelagoxcon-focus: the value 128 is not a whole number from -127 to 127\nUsage:", "", ""},
    {"UnknownChartType", {"chart", "chart.txt"}, 2, "pelagoxcon-focus: chart.txt does not end in .svg, .pdf or .png", "", ""},
    {"OptionWherePhotoBelongs", {"propose", "--at", "0", "--json", "--at", "20", "focus0.jpg"}, 2,
     "pelagoxcon-focus: --at 0 needs a photo, not --json\nUsage:", "", ""},
    {"BlankBeforeValue", {"propose", "--at", " 5", "focus0.jpg", "--at", "20", "focus0.jpg"}, 2,
     "pelagoxcon-focus: the value  5 is not a whole number", "", ""},
    {"BlankBeforeDpi", {"chart", "--dpi", " 300", "chart.png"}, 2, "pelagoxcon-focus: --dpi is a whole number", "", ""},
    {"ControlsInNameEscaped", {"measure", "\x1b[2J.jpg"}, 1, "\\x1B[2J.jpg: No such file or directory\n", "", ""},
    {"DpiOnlyForPng", {"chart", "--dpi", "200", "chart.svg"}, 2, "pelagoxcon-focus: --dpi is for a .png chart", "", ""},
    {"Picture", {"measure", "focus20.jpg", "--picture", "where20.png"}, 0, "", "", "Focus lies ",
     " mm beyond the target on the chart (back-focus).\n", true},
    {"PictureOfRefusedPhoto", {"measure", "offchart.jpg", "--picture", "whereoff.png"}, 1,
     "offchart.jpg: no part of the chart's scale is sharp;", "", "", "", true},
    {"NoPictureWithoutChart", {"measure", "blank.png", "--picture", "whereblank.png"}, 1,
     "blank.png: the chart was not found", "", ""},
    {"PictureNotPng", {"measure", "focus0.jpg", "--picture", "where.jpg"}, 2,
     "pelagoxcon-focus: where.jpg does not end in .png\nUsage:", "", ""},
    {"PictureOverPhoto", {"measure", "gone.png", "--picture", "gone.png"}, 2,
     "pelagoxcon-focus: the picture gone.png would replace the photo", "", ""},
};

// Halfway back, never within the values' least spread; where to stand by lens.
TEST(FocusWords, CloserValueAndDistance) {
    const int measured[] = {-30, 0, 20};
    int nearest = 0, closer = 0;
    EXPECT_TRUE(focus::closerValue(-40, measured, 3, nearest, closer) && nearest == -30 && closer == -35);
    EXPECT_TRUE(focus::closerValue(60, measured, 3, nearest, closer) && nearest == 20 && closer == 40);
    EXPECT_FALSE(focus::closerValue(25, measured, 3, nearest, closer));
    EXPECT_FALSE(focus::closerValue(0, measured + 1, 1, nearest, closer));
    const std::string tooLong = focus::refusalText(focus::Refusal::SharpZoneTooLong);
    EXPECT_EQ(focus::refusalTextForLens(focus::Refusal::SharpZoneTooLong, 35), tooLong + " (0.5 m for this 35 mm lens)");
    EXPECT_EQ(focus::refusalTextForLens(focus::Refusal::SharpZoneTooLong, 100), tooLong + " (1.5 m for this 100 mm lens)");
}

// The page decodes from memory: a photo refused on reading is refused there
// in the same words.
TEST(FocusPhoto, DecodingFromMemoryRefusesAlike) {
    for (const RunCase& c : kRuns) {
        const bool measure = c.args.size() == 2 && c.args[0] == "measure";
        const auto maker = photoMakers().find(measure ? c.args[1] : "");
        const std::string words = c.errStarts;
        if (maker == photoMakers().end() || words.find(": it is ") == std::string::npos) continue;
        const std::string bytes = maker->second();
        focus::GreyPhoto photo;
        std::string error;
        EXPECT_FALSE(focus::decodeGreyPhoto(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), photo, error));
        EXPECT_EQ(c.args[1] + ": " + error + "\n", words) << c.name;
    }
}

// The focus line lies where the truth puts it, relative to the camera, and
// the chart is turned so that its nearer end is at the bottom.
TEST(FocusPicture, FocusLineWhereTheTruthIs) {
    for (const double yaw : {0.0, 180.0}) {
        camera::Scene s;
        s.width = s.height = 1200;
        s.fNumber = 1.4;
        s.distance = 15;
        s.yawDeg = yaw;
        s.focusMm = yaw ? -30 : 20;
        const std::vector<uint8_t> photo = camera::photograph(s);
        const focus::Measurement m = focus::measureGrey(photo.data(), s.width, s.height, s.width);
        ASSERT_EQ(m.refusal, focus::Refusal::None) << yaw;
        focus::GreyImage p;
        ASSERT_TRUE(focus::focusPicture(photo.data(), s.width, s.height, s.width, m, p));
        const auto at = [&](double x, double y) {
            return p.pixels[int((focus::kPictureHalfHeightMm - y) * focus::kPicturePxPerMm) * p.width +
                            int((x + focus::kPictureHalfWidthMm) * focus::kPicturePxPerMm)];
        };
        const int flip = yaw ? -1 : 1;
        EXPECT_GT(at(-flip * focus::kMarkX, flip * focus::kMarkY), 150) << yaw;  // the holed mark's hole
        EXPECT_LT(at(flip * focus::kMarkX, flip * focus::kMarkY), 100) << yaw;
        // The darkest place on paper clear of the scale, away from the target.
        double darkest = 0;
        int least = 256;
        for (double y = -95; y < 95; y += 0.05)
            if (std::fabs(y) > 5 && at(16, y) < least) least = at(16, y), darkest = y;
        EXPECT_NEAR(darkest, camera::truth(s).focusMm, 0.75) << yaw;
    }
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class FocusRuns : public testing::TestWithParam<RunCase> {
protected:
    static void SetUpTestSuite() {
        char dir[] = "/tmp/pelago-focus.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        _dir = dir;
    }
    // Each case makes only the photos it names: ctest runs each alone.
    static void makePhotos(const std::vector<std::string>& args) {
        for (const std::string& a : args) {
            const auto maker = photoMakers().find(a);
            if (maker != photoMakers().end()) std::ofstream(_dir + "/" + a, std::ios::binary) << maker->second();
            if (a == "pipe.fifo") {
                ASSERT_TRUE(mkfifo((_dir + "/" + a).c_str(), 0600) == 0 || errno == EEXIST);
            }
            if (a == "album.d") std::filesystem::create_directory(_dir + "/" + a);
            if (a == "chart.png") {
                ASSERT_EQ(run({"chart", "--dpi", "72", "chart.png"}).exitStatus, 0);
            }
        }
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(_dir); }
    static ProcessResult run(std::vector<std::string> args) {
        for (std::string& a : args)
            if (a.find('.') != std::string::npos) a = _dir + "/" + a;
        return runProcess(PELAGO_FOCUS_EXE, args, "", std::chrono::seconds(60));
    }
    static std::string _dir;
};
std::string FocusRuns::_dir;

TEST_P(FocusRuns, SaysWhatTheIssueSays) {
    const RunCase& c = GetParam();
    makePhotos(c.args);
    ProcessResult r = run(c.args);
    // Paths in the output are the ones given.
    for (std::string* text : {&r.out, &r.err})
        for (size_t at; (at = text->find(_dir + "/")) != std::string::npos;) text->erase(at, _dir.size() + 1);
    EXPECT_EQ(r.exitStatus, c.status) << r.err;
    EXPECT_EQ(r.err.compare(0, std::strlen(c.errStarts), c.errStarts), 0) << r.err;
    EXPECT_TRUE(endsWith(r.err, c.errEnds)) << r.err;
    EXPECT_EQ(r.out.compare(0, std::strlen(c.outStarts), c.outStarts), 0) << r.out;
    EXPECT_TRUE(endsWith(r.out, c.outEnds)) << r.out;
    if (c.status != 0) {
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    const auto picture = std::find(c.args.begin(), c.args.end(), "--picture");
    if (picture != c.args.end() && picture + 1 != c.args.end()) {
        focus::GreyPhoto png;
        std::string error;
        EXPECT_EQ(focus::readGreyPhoto(_dir + "/" + picture[1], png, error), c.picture) << error;
        EXPECT_LE(png.width, focus::kPictureWidth);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, FocusRuns, testing::ValuesIn(kRuns),
                         [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

}  // namespace

namespace {

focus::PhotoTags readExif(const std::string& bytes) {
    return focus::readExif(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Both byte orders, then the segment cut short, its offsets sent past the
// end and its Exif IFD pointed back at IFD0: tags read right or not at all.
TEST(PhotoTags, ExifReadsBothOrdersAndSurvivesCorruption) {
    const focus::PhotoTags written{"FUJIFILM", "GFX100S", 63, 50, 2.8};
    for (const bool big : {false, true}) {
        const std::string jpeg = camera::withSegment("\xFF\xD8\xFF\xD9"s, camera::exifSegment(written, big));
        const focus::PhotoTags t = readExif(jpeg);
        EXPECT_EQ(focus::photoFormat(reinterpret_cast<const uint8_t*>(jpeg.data()), jpeg.size()), focus::PhotoFormat::Jpeg);
        EXPECT_EQ(focus::cameraName(t), "FUJIFILM GFX100S");
        EXPECT_EQ(t.focal_length_mm, 63);
        EXPECT_EQ(t.focal_35mm, 50);
        EXPECT_DOUBLE_EQ(t.f_number, 2.8);
        for (size_t n = 0; n < jpeg.size(); ++n) {
            const focus::PhotoTags cut = readExif(jpeg.substr(0, n));
            EXPECT_TRUE(cut.model.empty() || cut.model == "GFX100S") << n;
            EXPECT_TRUE(cut.f_number == 0 || cut.f_number == t.f_number) << n;
        }
        for (size_t at = 4; at + 4 <= jpeg.size(); ++at) readExif(jpeg.substr(0, at) + "\xFF\xFF\xFF\xFF" + jpeg.substr(at + 4));
        const auto field = [&](const char* le, const char* be) { return jpeg.find(big ? be : le, 0, 4); };
        std::string looped = jpeg, noDenominator = jpeg;
        looped.replace(field("\x69\x87\x04\0", "\x87\x69\0\x04") + 8, 4, big ? "\0\0\0\x08"s : "\x08\0\0\0"s);
        EXPECT_EQ(readExif(looped).model, "GFX100S");
        noDenominator.replace(field("\x18\x01\0\0", "\0\0\x01\x18") + 4, 4, 4, '\0');
        EXPECT_EQ(readExif(noDenominator).f_number, 0);
    }
}

TEST(PhotoTags, PhoneByFocalLength) {
    const struct {
        double focal, focal35;
        bool phone;
    } cases[] = {{9.9, 0, true}, {10, 0, false}, {50, 100, false}, {50, 101, true}, {0, 200, false}};
    for (const auto& c : cases)
        EXPECT_EQ(focus::phoneRefusalText({"", "", c.focal, c.focal35, 0}) != nullptr, c.phone) << c.focal << " " << c.focal35;
}

// A prime is allowed its 5 % either side, a zoom its range and no more;
// an unknown focal length or lens asks nothing.
TEST(PhotoTags, LensMismatchAtTheRangesEdges) {
    const struct {
        double focal;
        int wide, tele;
        const char* range;  // as the question names the lens; nullptr: no question
    } cases[] = {{95, 100, 100, nullptr}, {105, 100, 100, nullptr}, {94.9, 100, 100, "100"}, {105.5, 100, 100, "100"},
                 {24, 24, 70, nullptr},    {70, 24, 70, nullptr},    {23.9, 24, 70, "24-70"}, {73, 24, 70, "24-70"},
                 {0, 100, 100, nullptr},   {35, 0, 0, nullptr}};
    for (const auto& c : cases) {
        const std::string asked = focus::lensMismatchText({"", "", c.focal, 0, 0}, 3, c.wide, c.tele);
        EXPECT_EQ(asked, c.range ? "taken at " + focus::millimetreText(c.focal) + " mm; lens 3 is " + c.range +
                                       " mm: is this the right lens?"
                                 : "") << c.focal;
    }
    EXPECT_EQ(focus::takenWithText({"", "", 85, 0, 1.4}), "85 mm \u00B7 f/1.4");
    EXPECT_EQ(focus::takenWithText({"", "", 0, 0, 2}), "f/2");
}

}  // namespace
