#include "FocusTool.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "ChartPng.h"
#include "Focus.h"
#include "PhotoFile.h"
#include "PhotoTags.h"
#include "Printable.h"
#include "SafeSave.h"
#include "WholeNumber.h"

namespace focus {
namespace {

const char kProgram[] = "pelagoxcon-focus";

const char kUsage[] =
    "Usage: pelagoxcon-focus chart [--paper a4|letter] [--dpi N] OUT\n"
    "       pelagoxcon-focus measure PHOTO [--json] [--picture OUT.png]\n"
    "       pelagoxcon-focus propose --at V PHOTO [--at V PHOTO ...] [--json]\n"
    "       pelagoxcon-focus --help | --version\n";

const char kHelp[] =
    "Finds the autofocus correction that puts a lens's focus on its target,\n"
    "from photos of a printed chart.\n"
    "\n"
    "  chart OUT            write the chart: OUT ends in .svg, .pdf or .png\n"
    "    --paper a4|letter  the paper it is printed on (a4)\n"
    "    --dpi N            the PNG's resolution, 72 to 1200 (300)\n"
    "  measure PHOTO        where the focus lies on the chart in a JPEG or PNG\n"
    "    --picture OUT.png  also draw the chart as found, straightened, with the\n"
    "                       focus line and the sharp zone\n"
    "  propose --at V PHOTO ...\n"
    "                       the value to set, from photos at two values or more\n"
    "                       (-127 to 127), each photo after its value\n"
    "    --json             print one JSON object instead of the sentence\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 with a result, 1 when a photo or the photos are refused or\n"
    "a file cannot be read or written, 2 for a bad command line.\n";
static_assert(kMinDpi == 72 && kMaxDpi == 1200, "the help says \"72 to 1200\"");
static_assert(kValueMin == -127 && kValueMax == 127, "the help says \"-127 to 127\"");

// "NAME: WORDS" on `err`, for a photo or a file that is refused. Names
// come from the command line and may hold control characters: they reach
// the terminal escaped, as the adapter tool shows them.
void sayAbout(FILE* err, const std::string& name, const std::string& words) {
    std::fprintf(err, "%s: %s\n", printable(name).c_str(), words.c_str());
}

int usageError(FILE* err, const std::string& what) {
    std::fprintf(err, "%s: %s\n%s", kProgram, printable(what).c_str(), kUsage);
    return kExitUsage;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

bool endsWith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

bool isOption(const std::string& arg) { return arg.size() > 1 && arg[0] == '-'; }

// Takes `arg` as the command's one file; false with `error` when it is an
// unknown option or a second file.
bool takeFile(const std::string& command, const std::string& arg, std::string& path, std::string& error) {
    if (isOption(arg)) {
        error = command + " has no option " + arg;
        return false;
    }
    if (!path.empty()) {
        error = command + " takes one file";
        return false;
    }
    path = arg;
    return true;
}

int chart(const std::vector<std::string>& args, FILE* out, FILE* err) {
    Paper paper = Paper::A4;
    long dpi = kDefaultDpi;
    bool dpiGiven = false;
    std::string path;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--paper" || a == "--dpi") {
            if (i + 1 >= args.size()) return usageError(err, a + " needs a value");
            const std::string v = args[++i];
            if (a == "--paper") {
                if (lower(v) != "a4" && lower(v) != "letter") return usageError(err, "--paper is a4 or letter, not " + v);
                paper = lower(v) == "a4" ? Paper::A4 : Paper::Letter;
            } else {
                if (!parseWholeNumber(v, kMinDpi, kMaxDpi, dpi))
                    return usageError(err, "--dpi is " + wholeNumberText(kMinDpi, kMaxDpi) + ", not " + v);
                dpiGiven = true;
            }
        } else if (std::string error; !takeFile("chart", a, path, error)) {
            return usageError(err, error);
        }
    }
    if (path.empty()) return usageError(err, "chart needs the file to write");
    const std::string ext = lower(path);
    std::string bytes;
    if (endsWith(ext, ".png")) {
        bytes = chartPng(paper, static_cast<int>(dpi));
    } else if (dpiGiven) {
        return usageError(err, "--dpi is for a .png chart");
    } else if (endsWith(ext, ".svg")) {
        bytes = chartSvg(paper);
    } else if (endsWith(ext, ".pdf")) {
        bytes = chartPdf(paper);
    } else {
        return usageError(err, path + " does not end in .svg, .pdf or .png");
    }
    std::string error;
    if (!safeSave(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &error)) {
        sayAbout(err, path, error);
        return kExitRefused;
    }
    std::fprintf(out, "Wrote the chart for %s paper to %s: print it at 100 %% and check the 100 mm bar.\n",
                 paper == Paper::A4 ? "A4" : "Letter", printable(path).c_str());
    return kExitResult;
}

// Reads and decodes the photo at `path` and its EXIF `tags`; false with
// `error` in plain words, a phone's photo included.
bool readPhoto(const std::string& path, GreyPhoto& photo, PhotoTags& tags, std::string& error) {
    if (!readGreyPhoto(path, photo, error)) return false;
    tags = photo.tags;
    if (const char* phone = phoneRefusalText(tags)) {
        error = phone;
        return false;
    }
    return true;
}

// Draws where the measurement `m` of `photo` looked and saves it as the PNG
// `picture`; nothing when the photo shows no chart. False after saying on
// `err` why it was not written.
bool savePicture(const GreyPhoto& photo, const Measurement& m, const std::string& picture, FILE* err) {
    GreyImage image;
    if (!focusPicture(photo.pixels.get(), photo.width, photo.height, photo.width, m, image)) return true;
    const std::string png = encodeGrey(image.pixels.data(), image.width, image.height, 0);
    if (std::string error; !safeSave(picture, reinterpret_cast<const uint8_t*>(png.data()), png.size(), &error)) {
        sayAbout(err, picture, error);
        return false;
    }
    return true;
}

// Measures one photo and reads its `tags`, and with a `picture` name saves
// where it looked (a refused photo's picture shows why); false after saying
// on `err` why there is no result.
bool measurePhoto(const std::string& path, Measurement& m, PhotoTags& tags, FILE* err,
                  const std::string& picture = "") {
    GreyPhoto photo;
    std::string error;
    if (!readPhoto(path, photo, tags, error)) {
        sayAbout(err, path, error);
        return false;
    }
    m = measureGrey(photo.pixels.get(), photo.width, photo.height, photo.width);
    if (!picture.empty() && !savePicture(photo, m, picture, err)) return false;
    if (m.refusal == Refusal::None) return true;
    sayAbout(err, path, refusalTextForLens(m.refusal, tags.focal_length_mm));
    return false;
}

int measure(const std::vector<std::string>& args, FILE* out, FILE* err) {
    bool json = false;
    std::string path, picture;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--picture") {
            if (i + 1 >= args.size()) return usageError(err, "--picture needs a file");
            picture = args[++i];
            if (!endsWith(lower(picture), ".png")) return usageError(err, picture + " does not end in .png");
        } else if (std::string error; !takeFile("measure", a, path, error)) {
            return usageError(err, error);
        }
    }
    if (path.empty()) return usageError(err, "measure needs a photo");
    if (std::error_code same; !picture.empty() && (picture == path || std::filesystem::equivalent(picture, path, same)))
        return usageError(err, "the picture " + picture + " would replace the photo");
    Measurement m{};
    PhotoTags tags;
    if (!measurePhoto(path, m, tags, err, picture)) return kExitRefused;
    std::fprintf(out, "%s\n", (json ? withPhotoTags(measurementJson(m), tags) : measurementLine(m)).c_str());
    return kExitResult;
}

// Refuses, on `err`, a photo given twice (or two files with its bytes): it
// would pass the repeatability check by itself. A photo that cannot be
// read is left for its measurement to refuse.
bool samePhotoGivenTwice(const std::vector<std::pair<int, std::string>>& photos, FILE* err) {
    std::vector<std::pair<PhotoDigest, const std::string*>> seen;
    for (const auto& p : photos) {
        PhotoDigest digest;
        if (std::string error; !photoDigest(p.second, digest, error)) continue;
        for (const auto& s : seen) {
            if (s.first == digest) {
                std::fprintf(err, "%s and %s are the same photo\n", printable(*s.second).c_str(),
                             printable(p.second).c_str());
                return true;
            }
        }
        seen.emplace_back(digest, &p.second);
    }
    return false;
}

int proposeValue(const std::vector<std::string>& args, FILE* out, FILE* err) {
    bool json = false;
    std::vector<std::pair<int, std::string>> photos;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--at") {
            long v = 0;
            if (i + 2 >= args.size()) return usageError(err, "--at needs a value and a photo");
            // An option where the photo belongs is a slip, not a file name.
            if (isOption(args[i + 2])) return usageError(err, "--at " + args[i + 1] + " needs a photo, not " + args[i + 2]);
            if (!parseWholeNumber(args[i + 1], kValueMin, kValueMax, v))
                return usageError(err, "the value " + args[i + 1] + " is not " + wholeNumberText(kValueMin, kValueMax));
            photos.emplace_back(static_cast<int>(v), args[i + 2]);
            i += 2;
        } else {
            return usageError(err, "propose takes --at V PHOTO for each photo, not " + args[i]);
        }
    }
    if (photos.empty()) return usageError(err, "propose needs --at V PHOTO for each photo");
    // The values alone may settle it: no photo needs reading for that.
    const auto values = std::minmax_element(photos.begin(), photos.end());
    if (!valuesSpreadEnough(values.first->first, values.second->first)) {
        std::fputs(proposalText(propose(nullptr, 0)).c_str(), err);
        return kExitRefused;
    }
    if (samePhotoGivenTwice(photos, err)) return kExitRefused;
    std::vector<Sample> samples;
    std::vector<int> photoValues, measured, pastEnd;
    std::vector<PhotoTags> tags(photos.size());
    bool refused = false;
    for (size_t i = 0; i < photos.size(); ++i) {
        const int value = photos[i].first;
        Measurement m{};
        photoValues.push_back(value);
        if (measurePhoto(photos[i].second, m, tags[i], err)) {
            samples.push_back({value, m.focus_mm, m.sharp_zone_mm});
            measured.push_back(value);
        } else {
            refused = true;
            if (isPastEnd(m.refusal) && std::find(pastEnd.begin(), pastEnd.end(), value) == pastEnd.end())
                pastEnd.push_back(value);
        }
    }
    for (int value : pastEnd) std::fputs(pastEndText(value, measured.data(), measured.size()).c_str(), err);
    if (refused) return kExitRefused;
    const std::string mixed = mixedSettingsText(photoValues.data(), tags.data(), photos.size());
    if (!mixed.empty()) {
        std::fprintf(err, "%s\n", mixed.c_str());
        return kExitRefused;
    }
    const Proposal proposal = propose(samples.data(), samples.size());
    if (proposal.refusal != ProposeRefusal::None) {
        std::fputs(proposalText(proposal).c_str(), err);
        return kExitRefused;
    }
    if (json)
        std::fprintf(out, "%s\n", proposalJson(proposal).c_str());
    else
        std::fputs(proposalText(proposal).c_str(), out);
    return kExitResult;
}

}  // namespace

int runFocusTool(const std::vector<std::string>& args, FILE* out, FILE* err) {
    if (args.empty()) return usageError(err, "which command: chart, measure or propose?");
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "--help" || command == "-h") {
        std::fprintf(out, "%s\n%s", kUsage, kHelp);
        return kExitResult;
    }
    if (command == "--version") {
        std::fprintf(out, "PelagoXcon %s\n", PELAGO_VERSION);
        return kExitResult;
    }
    if (command == "chart") return chart(rest, out, err);
    if (command == "measure") return measure(rest, out, err);
    if (command == "propose") return proposeValue(rest, out, err);
    return usageError(err, "no command " + command + "; the commands are chart, measure and propose");
}

}  // namespace focus
