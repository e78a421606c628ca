#include "EditorApi.h"

#include <emscripten/emscripten.h>

#include <string>
#include <vector>

#include "AdapterInfo.h"
#include "SettingsEditor.h"
#include "nvm.h"

namespace {

SettingsEditor g_editor;
std::string g_text;               // the last string handed out
std::vector<uint8_t> g_image;     // the last image built
// The serial number of the adapter whose settings area the editor's file
// is, as opened; "" for a file from anywhere else.
std::string g_heldBy;

const char* handOut(std::string text)
{
    g_text = std::move(text);
    return g_text.c_str();
}

// Whether a write to the adapter connected now changes only what was edited.
bool holdsConnectedAdaptersArea()
{
    return !g_heldBy.empty() && g_heldBy == lastAdapterSerialNumber();
}

std::string joinedLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int editor_open(const uint8_t* bytes, size_t size, const char* name)
{
    g_image.clear();
    g_heldBy.clear();
    g_editor.open(bytes, size, name);
    return g_editor.lensCount();
}

EMSCRIPTEN_KEEPALIVE int editor_open_read(const uint8_t* bytes, size_t size, const char* name)
{
    int count = editor_open(bytes, size, name);
    g_heldBy = lastAdapterSerialNumber();
    return count;
}

EMSCRIPTEN_KEEPALIVE size_t editor_file_bytes_used()
{
    return kFlashImageSize + 1;
}

EMSCRIPTEN_KEEPALIVE const char* editor_status()
{
    return handOut(g_editor.status());
}

EMSCRIPTEN_KEEPALIVE int editor_lens_count()
{
    return g_editor.lensCount();
}

EMSCRIPTEN_KEEPALIVE const char* editor_focal_length(int lens)
{
    return handOut(g_editor.focalLength(lens));
}

EMSCRIPTEN_KEEPALIVE int editor_focal_range(int lens, int* wide, int* tele)
{
    return g_editor.focalRange(lens, wide, tele) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* editor_lens_id(int lens)
{
    return handOut(g_editor.lensIdText(lens));
}

EMSCRIPTEN_KEEPALIVE int editor_last_mounted(int lens)
{
    return g_editor.lastMounted(lens) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* editor_last_mounted_text()
{
    return "last mounted";
}

EMSCRIPTEN_KEEPALIVE int editor_field_count()
{
    return kAfFieldCount;
}

EMSCRIPTEN_KEEPALIVE const char* editor_field_label(int field)
{
    return SettingsEditor::fieldLabel(field);
}

EMSCRIPTEN_KEEPALIVE const char* editor_entry_text(int lens, int field)
{
    return handOut(g_editor.entryText(lens, field));
}

EMSCRIPTEN_KEEPALIVE int editor_entry_value(int lens, int field, int* value)
{
    return g_editor.entryValue(lens, field, value) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int editor_entry_min()
{
    return kAfMin;
}

EMSCRIPTEN_KEEPALIVE int editor_entry_max()
{
    return kAfMax;
}

EMSCRIPTEN_KEEPALIVE int editor_set_entry(int lens, int field, const char* text)
{
    return g_editor.setEntry(lens, field, text) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* editor_refusal_text()
{
    return kEntryRefusedText.c_str();
}

EMSCRIPTEN_KEEPALIVE int editor_edited()
{
    return g_editor.edited() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int editor_holds_connected_adapters_area()
{
    return holdsConnectedAdaptersArea() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int editor_entry_changed(int lens, int field)
{
    return g_editor.entryChanged(lens, field) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE int editor_lens_changed(int lens)
{
    return g_editor.lensChanged(lens) ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE const char* editor_changes_text()
{
    return handOut(g_editor.changeCountText());
}

EMSCRIPTEN_KEEPALIVE void editor_undo_lens(int lens)
{
    g_editor.undoLens(lens);
}

EMSCRIPTEN_KEEPALIVE const char* editor_write_lines()
{
    return handOut(joinedLines(holdsConnectedAdaptersArea() ? g_editor.changeLines() : g_editor.lensLines()));
}

EMSCRIPTEN_KEEPALIVE const char* editor_write_note()
{
    if (holdsConnectedAdaptersArea())
        return g_editor.edited() ? "" : "Nothing was changed since these settings were read from the adapter.";
    if (g_editor.lensCount() == 0)
        return "These settings were not read from the adapter connected now, and they list no lenses.";
    return "These settings were not read from the adapter connected now; every lens will have these values:";
}

EMSCRIPTEN_KEEPALIVE void editor_written_to_adapter()
{
    g_editor.markSaved();
    g_heldBy = lastAdapterSerialNumber();
}

EMSCRIPTEN_KEEPALIVE void editor_forget_adapter()
{
    g_heldBy.clear();
}

EMSCRIPTEN_KEEPALIVE const char* editor_save_refusal()
{
    return handOut(g_editor.saveRefusal());
}

EMSCRIPTEN_KEEPALIVE int editor_holds_settings()
{
    return g_editor.holdsSettings() ? 1 : 0;
}

EMSCRIPTEN_KEEPALIVE size_t editor_build_image()
{
    g_image = g_editor.image();
    return g_image.size();
}

EMSCRIPTEN_KEEPALIVE const uint8_t* editor_image_data()
{
    return g_image.data();
}

EMSCRIPTEN_KEEPALIVE const char* editor_file_name()
{
    return handOut(g_editor.name());
}

EMSCRIPTEN_KEEPALIVE const char* editor_downloaded()
{
    // What the adapter holds is no longer what the editor starts from.
    if (g_editor.edited())
        g_heldBy.clear();
    g_editor.markSaved();
    return handOut(g_editor.downloadedStatus());
}

EMSCRIPTEN_KEEPALIVE const char* editor_open_failed_status(const char* name)
{
    return handOut(SettingsEditor::openFailedStatus(name));
}

EMSCRIPTEN_KEEPALIVE const char* pelago_version()
{
    return "PelagoXcon " PELAGO_VERSION;
}

} // extern "C"
