// The focus assistant's steps as the owner goes through them: what each
// says now, from what the adapter is known to hold, whether the page can
// write to it, and which photos are in. The adapter travels between the
// computer (writes) and the camera (photos), so a disconnected adapter is
// the expected state while photos are taken, never an error.
#include <emscripten/emscripten.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "AdapterApi.h"
#include "EditorApi.h"
#include "FocusApi.h"

namespace {

// Far enough for the focus to be measured well: as the set-up step says.
constexpr int kDistanceInFocalLengths = 25;

std::string g_stepText;
std::string g_otherText;

const char* handOut(std::string& slot, std::string text)
{
    slot = std::move(text);
    return slot.c_str();
}

std::string fieldName(int field)
{
    return editor_field_label(field);
}

// "default" or the value, as the lens editor shows an entry.
std::string valueText(bool set, int value)
{
    return set ? std::to_string(value) : "default";
}

// What the adapter holds in the field, as last read from or written to it:
// the editor's entry while that is the adapter's area and this field is
// unedited. False when the page does not know.
bool heldOnAdapter(int lens, int field, bool* set, int* value)
{
    if (!editor_holds_connected_adapters_area() || editor_entry_changed(lens, field))
        return false;
    *value = 0;
    *set = editor_entry_value(lens, field, value) != 0;
    return true;
}

// "lens 1", "lenses 1 and 3", "lenses 1, 2 and 4": those with unsaved changes.
std::string changedLenses()
{
    std::string list;
    int count = 0;
    const int lenses = editor_lens_count();
    for (int lens = 1; lens <= lenses; ++lens) {
        if (!editor_lens_changed(lens))
            continue;
        ++count;
        std::string number = std::to_string(lens);
        bool last = true;
        for (int later = lens + 1; later <= lenses; ++later)
            last = last && !editor_lens_changed(later);
        list += count == 1 ? number : (last ? " and " : ", ") + number;
    }
    return (count == 1 ? "lens " : "lenses ") + list;
}

bool connected()
{
    return adapter_connection() == ADAPTER_CONNECTED;
}

// The trip to the camera and back, one line each.
std::string tripLines(int lens, int check, int then_connect)
{
    std::string lines = "\nTake the adapter to the camera with lens " + std::to_string(lens) +
                        ", as its maker's instructions say.";
    lines += check ? "\nFocus on the target and take a check photo." : "\nFocus on the target and take three photos.";
    if (then_connect)
        lines += "\nConnect it again and press Connect.";
    return lines;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int focus_step(int lens, int field, int value, int ready, int measured, int reach, int check,
                                    int then_connect)
{
    const std::string number = std::to_string(value);
    const std::string label = fieldName(field);
    bool set = false;
    int held = 0;
    const bool known = heldOnAdapter(lens, field, &set, &held);
    if (known && set && held == value) {
        // Photos taken say it themselves; the trip is what is left.
        if (measured > 0) {
            handOut(g_stepText, "");
            return FOCUS_SHOWS_PHOTOS;
        }
        handOut(g_stepText, "The adapter holds " + number + " in this field. Now:" + tripLines(lens, check, then_connect));
        return FOCUS_SHOWS_PHOTOS;
    }
    // Where the page does not know what the adapter holds, the owner may
    // have set it by hand: more photos are always welcome.
    if (measured > 0) {
        handOut(g_stepText, "");
        return known ? 0 : FOCUS_SHOWS_PHOTOS;
    }
    const std::string byHand = "Set \u201C" + label + "\u201D of lens " + std::to_string(lens) + " to " + number +
                               " and write it to the adapter, then take " +
                               (check ? "a check photo." : "the photos.");
    if (!reach) {
        handOut(g_stepText, byHand);
        return FOCUS_SHOWS_PHOTOS;
    }
    if (!editor_holds_connected_adapters_area()) {
        if (connected()) {
            handOut(g_stepText, "The lenses shown are not this adapter's: read its settings first.");
            return FOCUS_SHOWS_PHOTOS;
        }
        handOut(g_stepText, byHand + "\nOr connect the adapter and read its settings, to write it from here.");
        return FOCUS_SHOWS_PHOTOS | FOCUS_SHOWS_CONNECT;
    }
    if (!ready) {
        handOut(g_stepText, "");
        return 0;
    }
    if (editor_edited()) {
        handOut(g_stepText, "Write or undo the changes to " + changedLenses() + " first.");
        return 0;
    }
    if (!connected()) {
        handOut(g_stepText, "Connect the adapter to write " + number + ".");
        return FOCUS_SHOWS_CONNECT;
    }
    handOut(g_stepText, set ? "The adapter holds " + std::to_string(held) + " in this field: write " + number + " first."
                            : "The field is at default now, which is no correction and not the same as 0: write " +
                                  number + " first.");
    return FOCUS_SHOWS_WRITE;
}

EMSCRIPTEN_KEEPALIVE const char* focus_step_text()
{
    return g_stepText.c_str();
}

EMSCRIPTEN_KEEPALIVE int focus_writes_proposal(int reach)
{
    return reach && editor_holds_connected_adapters_area() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* focus_check_held_text(int lens, int field, int value)
{
    bool set = false;
    int held = 0;
    if (!heldOnAdapter(lens, field, &set, &held) || (set && held == value))
        return handOut(g_otherText, "");
    return handOut(g_otherText, "The adapter holds " + valueText(set, held) + " in this field: write " +
                                    std::to_string(value) + " first.");
}

EMSCRIPTEN_KEEPALIVE const char* focus_finished_text(int lens, int field, int value)
{
    bool set = false;
    int held = 0;
    if (!heldOnAdapter(lens, field, &set, &held) || !set || held != value)
        return handOut(g_otherText, "");
    return handOut(g_otherText, "Done: lens " + std::to_string(lens) + "'s " + fieldName(field) + " is " +
                                    std::to_string(value) + " on the adapter, and the check photo puts the focus on "
                                                            "the target.");
}

EMSCRIPTEN_KEEPALIVE const char* focus_put_back_text(int lens, int field, int had, int before)
{
    bool set = false;
    int held = 0;
    if (!heldOnAdapter(lens, field, &set, &held) || (set == (had != 0) && (!set || held == before)))
        return handOut(g_otherText, "");
    return handOut(g_otherText, "Lens " + std::to_string(lens) + "'s " + fieldName(field) + " was " +
                                    valueText(had != 0, before) + " before the test; the adapter now holds " +
                                    valueText(set, held) + ". Put back " + valueText(had != 0, before) + "?");
}

EMSCRIPTEN_KEEPALIVE const char* focus_put_back_label(int had, int before)
{
    return handOut(g_otherText, "Put back " + valueText(had != 0, before));
}

EMSCRIPTEN_KEEPALIVE const char* focus_keep_label(int lens, int field)
{
    bool set = false;
    int held = 0;
    heldOnAdapter(lens, field, &set, &held);
    return handOut(g_otherText, "Keep " + valueText(set, held));
}

EMSCRIPTEN_KEEPALIVE const char* focus_zone_note(int lens, int field)
{
    if (field <= 0 || field >= editor_field_count())
        return "Tune All range first; a zone only where one part of the range still misses.";
    int wide = 0;
    int tele = 0;
    if (!editor_focal_range(lens, &wide, &tele))
        return "";
    // The zones run from tele (or near) to wide (or infinity): tele to 1/2,
    // 1/2 to 3/4, 3/4 to wide. Each is shot in its middle.
    static const double kMiddle[] = {0.25, 0.625, 0.875};
    static const char* const kPrimeZone[] = {"near to halfway", "halfway to three quarters",
                                             "three quarters to infinity"};
    const int zone = field - 1;
    if (wide < tele) {
        const long mm = std::lround(tele - kMiddle[zone] * (tele - wide));
        return handOut(g_otherText, "Before the photos, zoom to about " + std::to_string(mm) +
                                        " mm and keep it there: this zone is " + fieldName(field) + ".");
    }
    return handOut(g_otherText, std::string("This zone is a part of the lens's focus distances, ") + kPrimeZone[zone] +
                                    ": place the chart nearer or farther, so that the lens focuses in this part of its "
                                    "range.");
}

EMSCRIPTEN_KEEPALIVE const char* focus_setup_distance_text(int lens)
{
    int wide = 0;
    int tele = 0;
    if (!editor_focal_range(lens, &wide, &tele) || wide <= 0)
        return "About 25 times the focal length away.";
    auto metres = [](int mm) {
        char text[16];
        std::snprintf(text, sizeof text, "%.3g", mm * kDistanceInFocalLengths / 1000.0);
        return std::string(text);
    };
    if (wide >= tele)
        return handOut(g_otherText, "About 25 times the focal length away: " + metres(wide) + " m for this " +
                                        std::to_string(wide) + " mm lens.");
    return handOut(g_otherText, "About 25 times the focal length away: " + metres(wide) + " m at " +
                                    std::to_string(wide) + " mm, " + metres(tele) + " m at " + std::to_string(tele) +
                                    " mm.");
}

} // extern "C"
