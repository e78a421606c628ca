// The virtual camera as a program: camera-sim in the build tree,
// pelagoxcon-virtual-camera installed. It writes one photo of the focus
// chart and prints the truth the photo shows.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "SafeSave.h"
#include "VirtualCamera.h"

namespace {

const char kUsage[] =
    "Usage: %s [OPTION...] OUT.jpg|OUT.png\n"
    "Photographs the focus chart and prints where the focus lies on it.\n"
    "  --angle DEG        chart to the line of sight (45)\n"
    "  --distance X       distance to the target in focal lengths (25)\n"
    "  --focal MM         focal length (85)\n"
    "  --aperture N       f-number (2)\n"
    "  --iso N            sensor noise as at this ISO (200)\n"
    "  --sharpen A        in-camera sharpening, 0 for none (0)\n"
    "  --quality Q        JPEG quality (90)\n"
    "  --roll DEG         the camera turned about the line of sight (0)\n"
    "  --yaw DEG          the chart turned on the table, -180 to 180 (0); 180 lays\n"
    "                     its top edge toward the camera\n"
    "  --vignetting V     share of light lost in the corners (0.3)\n"
    "  --focus MM         where the lens focuses at value 0, along the chart, + away\n"
    "                     from the camera (0)\n"
    "  --value V          the correction value set in the adapter (0)\n"
    "  --mm-per-step S    how far one step moves the focus along the chart (0.5)\n"
    "  --scatter MM       the autofocus's scatter, one standard deviation (0)\n"
    "  --seed N           the noise and the autofocus scatter (1)\n"
    "  --width W, --height H   the photo's size in pixels (2400 x 2400)\n"
    "  --fill F           the paper's share of the photo's width or height (0.9)\n"
    "  --paper a4|letter  the paper the chart is printed on (a4)\n"
    "  --make TEXT, --model TEXT   the camera the JPEG's EXIF names\n"
    "                     (PelagoXcon, virtual camera)\n"
    "  --focal-35 MM      the 35 mm-equivalent focal length in the EXIF (none)\n"
    "  --no-exif          a JPEG without EXIF\n"
    "  --table plain|checker|stripes   what the chart lies on (plain)\n"
    "  --help, --version\n";

std::string programName(const char* argv0) {
    if (argv0 == nullptr || *argv0 == '\0') return "camera-sim";
    const char* slash = std::strrchr(argv0, '/');
    return slash ? slash + 1 : argv0;
}

bool number(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

bool endsWith(const std::string& s, const char* tail) {
    const size_t n = std::strlen(tail);
    return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

// Fills `scene` and `out` from the arguments; false with `error` set.
bool parse(const std::vector<std::string>& args, camera::Scene& scene, std::string& out, std::string& error) {
    struct Numeric {
        const char* name;
        double* real;
        int* whole;
    };
    double seed = 1;
    const Numeric numerics[] = {
        {"--angle", &scene.angleDeg, nullptr},   {"--distance", &scene.distance, nullptr},
        {"--focal", &scene.focalMm, nullptr},    {"--aperture", &scene.fNumber, nullptr},
        {"--iso", nullptr, &scene.iso},          {"--sharpen", &scene.sharpen, nullptr},
        {"--quality", nullptr, &scene.quality},  {"--roll", &scene.rollDeg, nullptr},
        {"--yaw", &scene.yawDeg, nullptr},       {"--vignetting", &scene.vignetting, nullptr},
        {"--focus", &scene.focusMm, nullptr},    {"--value", nullptr, &scene.value},
        {"--mm-per-step", &scene.mmPerStep, nullptr}, {"--scatter", &scene.scatterMm, nullptr},
        {"--seed", &seed, nullptr},              {"--width", nullptr, &scene.width},
        {"--height", nullptr, &scene.height},    {"--fill", &scene.fill, nullptr},
        {"--focal-35", &scene.focal35Mm, nullptr},
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--paper") {
            if (i + 1 >= args.size() || (args[i + 1] != "a4" && args[i + 1] != "letter")) {
                error = "--paper is a4 or letter";
                return false;
            }
            scene.paper = args[++i] == "a4" ? focus::Paper::A4 : focus::Paper::Letter;
            continue;
        }
        if (a == "--make" || a == "--model") {
            if (i + 1 >= args.size()) {
                error = a + " needs a text";
                return false;
            }
            (a == "--make" ? scene.make : scene.model) = args[++i];
            continue;
        }
        if (a == "--no-exif") {
            scene.exif = false;
            continue;
        }
        if (a == "--table") {
            const std::string kind = i + 1 < args.size() ? args[i + 1] : "";
            if (kind != "plain" && kind != "checker" && kind != "stripes") {
                error = "--table is plain, checker or stripes";
                return false;
            }
            ++i;
            scene.table = kind == "plain" ? camera::Table::Plain
                          : kind == "checker" ? camera::Table::Checker : camera::Table::Stripes;
            continue;
        }
        const Numeric* n = nullptr;
        for (const Numeric& candidate : numerics)
            if (a == candidate.name) n = &candidate;
        if (n != nullptr) {
            double v = 0;
            if (i + 1 >= args.size() || !number(args[i + 1], v) || (n->whole && v != static_cast<int>(v))) {
                error = a + (n->whole ? " needs a whole number" : " needs a number");
                return false;
            }
            ++i;
            if (n->real) *n->real = v;
            else *n->whole = static_cast<int>(v);
        } else if (a.size() > 1 && a[0] == '-') {
            error = "no option " + a;
            return false;
        } else if (out.empty()) {
            out = a;
        } else {
            error = "one photo at a time";
            return false;
        }
    }
    if (out.empty() || !(endsWith(out, ".jpg") || endsWith(out, ".jpeg") || endsWith(out, ".png"))) {
        error = "the photo to write ends in .jpg, .jpeg or .png";
        return false;
    }
    if (seed < 0 || seed != static_cast<double>(static_cast<uint64_t>(seed))) {
        error = "--seed needs a whole number";
        return false;
    }
    scene.seed = static_cast<uint64_t>(seed);
    if (endsWith(out, ".png")) scene.quality = 0;
    return camera::validScene(scene, error);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = programName(argc > 0 ? argv[0] : nullptr);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::printf(kUsage, program.c_str());
        return 0;
    }
    if (!args.empty() && args[0] == "--version") {
        std::puts("PelagoXcon " PELAGO_VERSION);
        return 0;
    }
    camera::Scene scene;
    std::string out, error;
    if (!parse(args, scene, out, error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        std::fprintf(stderr, kUsage, program.c_str());
        return 2;
    }
    const std::string photo = camera::photographFile(scene);
    if (!safeSave(out, reinterpret_cast<const uint8_t*>(photo.data()), photo.size(), &error)) {
        std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), out.c_str(), error.c_str());
        return 1;
    }
    const camera::Truth t = camera::truth(scene);
    std::printf("focus_mm %.2f depth_of_field_mm %.2f near_mm %.2f far_mm %.2f px_per_mm %.2f\n", t.focusMm,
                t.depthOfFieldMm, t.nearMm, t.farMm, t.pxPerMm);
    return 0;
}
