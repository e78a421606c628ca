// The lens editor's C interface to the web page: one SettingsEditor for the
// page, driven from JavaScript through the WebAssembly module's exports.
//
// Strings returned are UTF-8, owned by the module and valid until the next
// call of this interface; copy them at once. Lenses are numbered from 1,
// fields 0..3 in the listing's order. Byte buffers passed in are the
// caller's (allocated with the module's malloc) and only read during the call.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// Opens `size` bytes of the file `name` in the editor. Returns the lens count.
int editor_open(const uint8_t* bytes, size_t size, const char* name);
// The same for the settings area just read from the adapter: a write back
// to that adapter lists only the changes.
int editor_open_read(const uint8_t* bytes, size_t size, const char* name);
// The most bytes of a file that opening uses (the rest need not be read):
// one past the flash image, so that a longer file is known as one.
size_t editor_file_bytes_used();

// The Status line after the last open or save.
const char* editor_status();

int editor_lens_count();
// "50mm" or "24-70mm".
const char* editor_focal_length(int lens);
// 1 with the lens's shortest and longest focal length in mm (equal for a
// fixed focal length); 0 for no such lens.
int editor_focal_range(int lens, int* wide, int* tele);
// "ID 0x0201": the lens's ID as the adapter records it.
const char* editor_lens_id(int lens);
// 1 for the lens the adapter recorded as last mounted, whose mark reads
// editor_last_mounted_text().
int editor_last_mounted(int lens);
const char* editor_last_mounted_text();

int editor_field_count();
// Column heading of a field, e.g. "All range".
const char* editor_field_label(int field);

// The field's text for its input: "" for default, else the decimal value.
const char* editor_entry_text(int lens, int field);
// 1 with *value decoded when a correction is set; 0 for default.
int editor_entry_value(int lens, int field, int* value);
// The range of a correction, for drawing scales.
int editor_entry_min();
int editor_entry_max();

// Takes the text typed in an input: 1 accepted, 0 refused (nothing changed;
// the refusal's text is editor_refusal_text()).
int editor_set_entry(int lens, int field, const char* text);
const char* editor_refusal_text();

// 1 when any entry differs from the opened file.
int editor_edited();
// 1 when the editor holds the settings area read from, or last written
// to, the adapter connected now (as it was read or written, or edited since).
int editor_holds_connected_adapters_area();
// 1 when the field, or any field of the lens, differs from the file.
int editor_entry_changed(int lens, int field);
int editor_lens_changed(int lens);
// The line counting the changed fields: "" when none, "1 unsaved change",
// "N unsaved changes".
const char* editor_changes_text();
// Sets the lens's fields back to the file's.
void editor_undo_lens(int lens);

// What "Write settings to adapter" asks about, one line per line end: the
// changes ("Lens 2 (24-70mm) · All range: -5 → -3") when the editor holds
// what was read from, or last written to, the adapter connected now; else
// every lens with its values. The note above them, "" when none.
const char* editor_write_lines();
const char* editor_write_note();
// After a completed write: the adapter connected now holds the image, and
// no change is left.
void editor_written_to_adapter();
// The adapter's settings area may have changed behind the editor (a backup
// written to it, a firmware update): a write lists every lens again.
void editor_forget_adapter();

// 1 when the opened file held an emulated EEPROM; 0 when it had to be
// formatted or none is open.
int editor_holds_settings();

// Why the opened file must not be saved ("" when it may), in the
// console's words.
const char* editor_save_refusal();
// Builds the file a save writes now; returns its size, 0 when refused. Its
// bytes stay at editor_image_data() until the next build or open.
size_t editor_build_image();
const uint8_t* editor_image_data();

// The name the file saves under (the name it was opened with).
const char* editor_file_name();
// After the page has handed the built image to the browser as a download:
// no change is left (the adapter still holds what it held), and the
// Status line saying so.
const char* editor_downloaded();
// The Status line when the page could not read the file `name`.
const char* editor_open_failed_status(const char* name);

// What runs: "PelagoXcon VERSION", as --version prints it.
const char* pelago_version();
}
