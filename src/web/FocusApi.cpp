#include "FocusApi.h"

#include <emscripten/emscripten.h>

#include <cerrno>
#include <new>
#include <string>
#include <vector>

#include "AdapterApi.h"
#include "EditorApi.h"
#include "Focus.h"
#include "PhotoFile.h"
#include "SettingsEditor.h"

namespace {

// Far enough apart for the focus to move measurably from one value to the
// other on most lenses; the owner may take another.
constexpr int kSecondValueStep = 20;

constexpr char kNoRoom[] =
    "this browser has no room left for a photo this large; close other tabs, or use a smaller photo";

std::string g_text;  // the last string handed out
// The photo file the page copied in, one byte longer than the file: empty
// only when there was no room for it, even for an empty file.
std::vector<uint8_t> g_file;
focus::Measurement g_measured{};
std::string g_unmeasured;  // why the last photo was not measured; "" when it was
focus::PhotoTags g_tags;   // the last photo's EXIF
// The last photo's picture, RGBA, until the page has copied it.
std::vector<uint8_t> g_picture;
int g_pictureWidth = 0;
int g_pictureHeight = 0;
std::vector<focus::Sample> g_samples;
std::vector<int> g_sampleValues;
std::vector<focus::PhotoTags> g_sampleTags;
focus::Proposal g_proposal{};
std::string g_mixed;  // why the samples' photos cannot be compared; "" when they can
std::string g_checkLine;

const char* handOut(std::string text)
{
    g_text = std::move(text);
    return g_text.c_str();
}

std::string measuredLine()
{
    if (!g_unmeasured.empty())
        return g_unmeasured;
    if (g_measured.refusal != focus::Refusal::None)
        return focus::refusalTextForLens(g_measured.refusal, g_tags.focal_length_mm);
    return focus::measurementLine(g_measured);
}

// Keeps the picture of `photo`'s measurement as RGBA, which is what a
// canvas takes; nothing without a chart, or without room for it.
void keepPicture(const focus::GreyPhoto& photo)
{
    focus::GreyImage grey;
    if (!focus::focusPicture(photo.pixels.get(), photo.width, photo.height, photo.width, g_measured, grey))
        return;
    const size_t pixels = static_cast<size_t>(grey.width) * static_cast<size_t>(grey.height);
    std::vector<uint8_t> rgba;
    try {
        rgba.resize(pixels * 4);
    } catch (const std::bad_alloc&) {
        return;
    }
    for (size_t i = 0; i < pixels; ++i) {
        rgba[4 * i] = rgba[4 * i + 1] = rgba[4 * i + 2] = grey.pixels[i];
        rgba[4 * i + 3] = 255;
    }
    g_picture.swap(rgba);
    g_pictureWidth = grey.width;
    g_pictureHeight = grey.height;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE uint8_t* focus_photo_bytes(double size)
{
    std::vector<uint8_t>().swap(g_file);
    // A double, so that no size the browser reports wraps to a small one.
    if (!(size >= 0) || size >= static_cast<double>(g_file.max_size()))
        return nullptr;
    try {
        g_file.resize(static_cast<size_t>(size) + 1);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return g_file.data();
}

EMSCRIPTEN_KEEPALIVE int focus_measure()
{
    g_measured = focus::Measurement{};
    g_measured.refusal = focus::Refusal::ChartNotFound;
    g_unmeasured = kNoRoom;
    g_tags = focus::PhotoTags{};
    focus_picture_free();
    if (!g_file.empty()) {
        focus::GreyPhoto photo;
        std::string error;
        // The decoder refuses a file it cannot read, and fails alike when
        // the browser gives no more memory: only errno tells the two apart.
        errno = 0;
        const bool decoded = focus::decodeGreyPhoto(g_file.data(), g_file.size() - 1, photo, error);
        std::vector<uint8_t>().swap(g_file);
        g_tags = photo.tags;
        const char* phone = decoded ? focus::phoneRefusalText(photo.tags) : nullptr;
        if (decoded && phone != nullptr) {
            g_unmeasured = phone;
        } else if (decoded) {
            g_unmeasured.clear();
            g_measured = focus::measureGrey(photo.pixels.get(), photo.width, photo.height, photo.width);
            keepPicture(photo);
        } else if (errno != ENOMEM) {
            g_unmeasured = error;
        }
    }
    return g_unmeasured.empty() && g_measured.refusal == focus::Refusal::None ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE double focus_measured_mm()
{
    return g_measured.refusal == focus::Refusal::None ? g_measured.focus_mm : 0;
}

EMSCRIPTEN_KEEPALIVE double focus_measured_zone_mm()
{
    return g_measured.refusal == focus::Refusal::None ? g_measured.sharp_zone_mm : 0;
}

EMSCRIPTEN_KEEPALIVE const char* focus_measured_line()
{
    return handOut(measuredLine());
}

EMSCRIPTEN_KEEPALIVE const char* focus_measured_taken_with()
{
    return handOut(focus::takenWithText(g_tags));
}

EMSCRIPTEN_KEEPALIVE double focus_measured_focal_mm()
{
    return g_tags.focal_length_mm;
}

EMSCRIPTEN_KEEPALIVE double focus_measured_f_number()
{
    return g_tags.f_number;
}

EMSCRIPTEN_KEEPALIVE const char* focus_measured_lens_question(int lens)
{
    int wide = 0, tele = 0;
    if (!editor_focal_range(lens, &wide, &tele))
        return "";
    return handOut(focus::lensMismatchText(g_tags, lens, wide, tele));
}

EMSCRIPTEN_KEEPALIVE int focus_picture_width()
{
    return g_pictureWidth;
}

EMSCRIPTEN_KEEPALIVE int focus_picture_height()
{
    return g_pictureHeight;
}

EMSCRIPTEN_KEEPALIVE const uint8_t* focus_picture_rgba()
{
    return g_picture.empty() ? nullptr : g_picture.data();
}

EMSCRIPTEN_KEEPALIVE void focus_picture_free()
{
    std::vector<uint8_t>().swap(g_picture);
    g_pictureWidth = g_pictureHeight = 0;
}

EMSCRIPTEN_KEEPALIVE const char* focus_unreadable_line()
{
    return "this browser cannot read the file";
}

EMSCRIPTEN_KEEPALIVE int focus_measured_past_end()
{
    return g_unmeasured.empty() && focus::isPastEnd(g_measured.refusal) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* focus_past_end_text(int past, int measured)
{
    return handOut(focus::pastEndText(past, &measured, 1));
}

EMSCRIPTEN_KEEPALIVE int focus_first_value(int lens, int field)
{
    int value = 0;
    return editor_entry_value(lens, field, &value) ? value : 0;
}

EMSCRIPTEN_KEEPALIVE int focus_second_value(int first)
{
    return first + kSecondValueStep <= focus::kValueMax ? first + kSecondValueStep : first - kSecondValueStep;
}

EMSCRIPTEN_KEEPALIVE int focus_parse_value(const char* text, int* value)
{
    return parseCorrectionText(text, value) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* focus_value_refusal()
{
    return kCorrectionRefusedText.c_str();
}

EMSCRIPTEN_KEEPALIVE int focus_value_state(int lens, int field, int value)
{
    // A write sends the whole settings area: only when it is this
    // adapter's, with nothing else changed in it, does it write this value alone.
    if (adapter_connection() != ADAPTER_CONNECTED || !editor_holds_connected_adapters_area() || editor_edited())
        return FOCUS_VALUE_BY_HAND;
    int held = 0;
    return editor_entry_value(lens, field, &held) && held == value ? FOCUS_VALUE_HELD : FOCUS_VALUE_WRITABLE;
}

EMSCRIPTEN_KEEPALIVE const char* focus_value_text(int lens, int field, int value)
{
    const std::string number = std::to_string(value);
    switch (focus_value_state(lens, field, value)) {
    case FOCUS_VALUE_HELD:
        return handOut("The adapter holds " + number + " in this field: take the photos.");
    case FOCUS_VALUE_WRITABLE: {
        const std::string held = editor_entry_text(lens, field);
        return handOut(held.empty() ? "The field is at default now, which is no correction and not the same as 0: write " +
                                          number + " first."
                                    : "The adapter holds " + held + " in this field: write " + number + " first.");
    }
    default:
        return handOut(std::string("Set \u201C") + editor_field_label(field) + "\u201D of lens " + std::to_string(lens) +
                       " to " + number + " and write it to the adapter, then take the photos.");
    }
}

EMSCRIPTEN_KEEPALIVE void focus_clear_samples()
{
    g_samples.clear();
    g_sampleValues.clear();
    g_sampleTags.clear();
}

EMSCRIPTEN_KEEPALIVE void focus_add_sample(int value, double focus_mm, double sharp_zone_mm, double focal_mm,
                                           double f_number)
{
    g_samples.push_back({value, focus_mm, sharp_zone_mm});
    g_sampleValues.push_back(value);
    focus::PhotoTags tags;
    tags.focal_length_mm = focal_mm;
    tags.f_number = f_number;
    g_sampleTags.push_back(tags);
}

EMSCRIPTEN_KEEPALIVE int focus_propose()
{
    g_mixed = focus::mixedSettingsText(g_sampleValues.data(), g_sampleTags.data(), g_sampleTags.size());
    g_proposal = focus::propose(g_samples.data(), g_samples.size());
    return g_mixed.empty() && g_proposal.refusal == focus::ProposeRefusal::None ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int focus_proposed_value()
{
    return g_proposal.value;
}

EMSCRIPTEN_KEEPALIVE const char* focus_proposal_text()
{
    return handOut(g_mixed.empty() ? focus::proposalText(g_proposal) : g_mixed + "\n");
}

EMSCRIPTEN_KEEPALIVE int focus_check(int value)
{
    if (g_measured.refusal != focus::Refusal::None) {
        g_checkLine = measuredLine();
        return 0;
    }
    return focus::checkLine(g_measured, value, g_checkLine) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* focus_check_line()
{
    return g_checkLine.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* focus_chart_svg()
{
    return handOut(focus::chartSvgUnframed());
}

} // extern "C"
