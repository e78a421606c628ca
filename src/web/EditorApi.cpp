#include "EditorApi.h"

#include <emscripten/emscripten.h>

#include <string>
#include <vector>

#include "SettingsEditor.h"
#include "nvm.h"

namespace {

SettingsEditor g_editor;
std::string g_text;               // the last string handed out
std::vector<uint8_t> g_image;     // the last image built

const char* handOut(std::string text)
{
    g_text = std::move(text);
    return g_text.c_str();
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int editor_open(const uint8_t* bytes, size_t size, const char* name)
{
    g_image.clear();
    g_editor.open(bytes, size, name);
    return g_editor.lensCount();
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
    return kEntryRefusedText;
}

EMSCRIPTEN_KEEPALIVE int editor_edited()
{
    return g_editor.edited() ? 1 : 0;
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

EMSCRIPTEN_KEEPALIVE const char* editor_saved_status()
{
    return handOut(g_editor.savedStatus());
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
