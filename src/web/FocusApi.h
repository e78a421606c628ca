// The focus assistant's C interface to the web page: photos of the printed
// chart, whose files the page copies into the module's memory, decoded
// and measured as the console program does, the values to take them at,
// and the value proposed from them. The page renders what these say;
// every rule and text is here.
//
// Strings returned are UTF-8, owned by the module and valid until the next
// call of this interface; copy them at once. Lenses are numbered from 1,
// fields 0..3 as the lens editor numbers them (src/web/EditorApi.h).
// Values are corrections, -127 to 127. Distances are mm along the chart,
// + beyond the target (away from the camera).
#pragma once

#include <cstdint>

extern "C" {

// --- One photo ---------------------------------------------------------

// Room for one photo file's `size` bytes, as they are on disk; 0 when the
// module cannot hold that many. The page fills it, then calls
// focus_measure, which frees it.
uint8_t* focus_photo_bytes(double size);

// Decodes and measures the file in focus_photo_bytes, and frees it and
// its pixels: 1 with a result, 0 when the file is not a photo that can be
// read, the photo cannot be trusted, or there was no room for it.
int focus_measure();
// The last measurement: where focus lies and the length of the chart's
// scale that is sharp (0 when refused), and its line: "Focus lies D mm
// beyond the target on the chart (back-focus)." and the like, or why it was refused.
double focus_measured_mm();
double focus_measured_zone_mm();
const char* focus_measured_line();
// What the last photo's EXIF says it was taken at: "85 mm · f/1.4", or
// "" without those tags; its focal length and f-number, 0 when absent.
const char* focus_measured_taken_with();
double focus_measured_focal_mm();
double focus_measured_f_number();
// The question when the last photo's focal length is not one lens `lens`
// has ("taken at 35 mm; lens 3 is 100 mm: is this the right lens?"); ""
// when it is, or either is unknown. The photo is measured all the same.
const char* focus_measured_lens_question(int lens);
// Where the last photo put the focus, drawn as the console draws it, as
// RGBA pixels row after row: width and height 0 when the chart was not
// found. The page copies them, then frees them.
int focus_picture_width();
int focus_picture_height();
const uint8_t* focus_picture_rgba();
void focus_picture_free();
// The line for a file the browser could not read.
const char* focus_unreadable_line();
// 1 when the last photo was refused for its focus lying past an end of
// the chart's scale, else 0.
int focus_measured_past_end();
// For photos at `past` refused so, when photos at `measured` gave results:
// "At V the focus moved past the end of the chart: take these photos at a
// value closer to U, such as W."; "" when no value lies between.
const char* focus_past_end_text(int past, int measured);

// --- The values to take photos at --------------------------------------

// The first value: the field's correction, 0 when it is at default (and
// then 0 must be written before the photos: default is no correction).
int focus_first_value(int lens, int field);
// The second value proposed: 20 above the first, or 20 below it when that
// would pass the adapter's limit.
int focus_second_value(int first);
// A value typed: 1 with *value, else 0 and focus_value_refusal() says why.
int focus_parse_value(const char* text, int* value);
const char* focus_value_refusal();

// focus_value_state's values: whether the page can put `value` into the
// lens's field on the adapter for the photos.
enum FocusValueState {
    FOCUS_VALUE_BY_HAND = 0,   // the owner sets it and writes it (not connected, not
                               // this adapter's settings, or other changes unsaved)
    FOCUS_VALUE_WRITABLE = 1,  // "Write VALUE to the adapter" writes it
    FOCUS_VALUE_HELD = 2,      // the adapter holds it already
};
int focus_value_state(int lens, int field, int value);
// The line telling the owner how the photos at `value` are to be taken.
const char* focus_value_text(int lens, int field, int value);

// --- The value proposed ------------------------------------------------

// The measured photos the proposal is made from, one call per photo that
// gave a result, after focus_clear_samples, with the focal length and
// f-number it was taken at (0 when absent).
void focus_clear_samples();
void focus_add_sample(int value, double focus_mm, double sharp_zone_mm, double focal_mm, double f_number);
// Proposes from the samples: 1 with a value, 0 refused (photos at one
// value taken at different apertures or focal lengths too). The lines it reads
// as ("Set the correction to N.", "The photos place it between A and B."
// and, when wanted, to take more photos, "Check it with a photo at N." or
// that the best value lies beyond the range), or the refusal.
int focus_propose();
int focus_proposed_value();
const char* focus_proposal_text();

// Judges the last measurement as a photo taken at `value`: 1 when focus
// lies on the target, within a tenth of the sharp zone; the line saying
// so (or the refusal) is focus_check_line().
int focus_check(int value);
const char* focus_check_line();

// --- The steps, as the owner goes through them ------------------------
// (src/web/FocusSteps.cpp). The adapter holds what the editor shows while
// the editor holds the settings area last read from or written to it, also
// once it is unplugged and on the camera.

// focus_step's flags: what the step shows besides its lines.
enum FocusStepShows {
    FOCUS_SHOWS_WRITE = 1,    // "Write VALUE to the adapter"
    FOCUS_SHOWS_PHOTOS = 2,   // the photos' chooser
    FOCUS_SHOWS_CONNECT = 4,  // Connect, to write from here
};
// The step of photos at `value`, now: FocusStepShows flags, and its lines
// in focus_step_text(), one per line end ("" when it has nothing to say);
// after the first, the trip to the camera in order. `ready`: the steps
// before it are done; `measured`: its photos that gave a result; `reach`:
// the page can reach a port at all; `check`: the one check photo; and
// `then_connect`: another write follows the photos.
int focus_step(int lens, int field, int value, int ready, int measured, int reach, int check, int then_connect);
const char* focus_step_text();
// 1 when the proposal is written from here, 0 when it becomes an edit of
// the field ("Use N"): the settings shown are not an adapter's.
int focus_writes_proposal(int reach);
// "The adapter holds H in this field: write V first." when the adapter is
// known to hold another value than the check photo's; "" otherwise.
const char* focus_check_held_text(int lens, int field, int value);
// The job's end once the check photo is on target: "Done: lens 3's All
// range is 8 on the adapter, ..."; "" unless the adapter holds `value`.
const char* focus_finished_text(int lens, int field, int value);
// Before the test the field held `before` (`had` 0: default). The question
// when the adapter is known to hold something else now, else ""; its answers.
const char* focus_put_back_text(int lens, int field, int had, int before);
const char* focus_put_back_label(int had, int before);
const char* focus_keep_label(int lens, int field);
// Where to set the lens before shooting for `field`, in a zoom's or a
// prime's terms; for the whole range, that it comes first.
const char* focus_zone_note(int lens, int field);
// The set-up distance for this lens: 25 times its focal length.
const char* focus_setup_distance_text(int lens);

// --- The chart ---------------------------------------------------------

// The chart as an SVG document sized in mm, to print at 100 % on A4 or
// Letter paper.
const char* focus_chart_svg();
}
