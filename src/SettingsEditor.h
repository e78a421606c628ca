// The lens editor of a settings file, for front ends that show every lens
// at once (the web page) instead of the console's dialogue. It keeps the
// opened file's bytes and the corrections entered, and produces the file a
// save writes: the opened image with each changed lens's record rewritten
// once, in lens order, through the same routines as the console's tuning,
// so the bytes equal what `-l` saves for the same answers.
//
// Lenses are numbered 1..lensCount(); fields 0..kAfFieldCount-1 follow
// kAfFields (all range, tele/near..1/2, 1/2..3/4, 3/4..wide/infinity).
// Out-of-range lens or field numbers are refused or read as default.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "SettingsOpen.h"
#include "SettingsRecord.h"

class SettingsEditor {
public:
    // Opens `size` bytes of a file named `name` (at most the flash image's
    // size are kept, as the console loads a file; more mark the file as no
    // settings file, which is never saved), forgetting any earlier
    // file and entries. The emulator and g_eeprom are the program's one
    // instance: the editor uses them while it opens and while it saves.
    SettingsOpened open(const uint8_t* bytes, size_t size, const std::string& name);

    // The line saying how the opening went, in the console's words (a
    // "Note:" line when the lens table holds fewer lenses than recorded).
    const std::string& status() const { return _status; }
    const std::string& name() const { return _name; }
    int lensCount() const { return int(_current.size()); }

    // "50mm" for a fixed focal length, "24-70mm" for a zoom; "" when out of range.
    std::string focalLength(int lens) const;
    // The lens's shortest and longest focal length in mm, equal for a
    // fixed focal length; false when out of range.
    bool focalRange(int lens, int* wide, int* tele) const;
    // The lens's ID as the adapter records it, "ID 0x0201"; "" when out of range.
    std::string lensIdText(int lens) const;
    // Whether the lens's ID is the one the adapter recorded as last mounted.
    bool lastMounted(int lens) const;

    // The entry as an input shows it: "" for default, else the decimal value.
    std::string entryText(int lens, int field) const;
    // False for default; else true with the decoded value in *value.
    bool entryValue(int lens, int field, int* value) const;

    // Takes the text typed for a field: empty or blank means default, else
    // a whole decimal number in kAfMin..kAfMax, blanks around it allowed.
    // Anything else is refused with kEntryRefusedText and changes nothing.
    bool setEntry(int lens, int field, const std::string& text);

    // True when any lens's entries differ from those it was opened with.
    bool edited() const { return _current != _opened; }
    // Whether one field, or any field of a lens, differs from the file.
    bool entryChanged(int lens, int field) const;
    bool lensChanged(int lens) const;
    // The number of fields that differ from the file, and the line that
    // counts them: "" at 0, "1 unsaved change", "N unsaved changes".
    int changeCount() const;
    std::string changeCountText() const;
    // Sets a lens's entries back to the file's.
    void undoLens(int lens);

    // One line per changed field, in lens and field order, old value first:
    // "Lens 2 (24-70mm) · All range: -5 → -3" ("default" for none).
    std::vector<std::string> changeLines() const;
    // One line per lens with its four values as they are now:
    // "Lens 1 (50mm) · All range: 3 · Tele/near to 1/2: default · ...".
    std::vector<std::string> lensLines() const;

    // Takes the file a completed save wrote (image()) as the file opened:
    // nothing is left changed, and later edits start from it.
    void markSaved();
    // Whether the opened file held an emulated EEPROM; false when it had to
    // be formatted (or before any file), so its image is no settings to
    // give an adapter.
    bool holdsSettings() const { return _result != SettingsOpened::Formatted; }

    // The file a save writes now: the opened bytes themselves when nothing
    // was edited, the formatted area when the file had to be formatted, else
    // the image after rewriting each changed lens's record in lens order;
    // as many bytes as were opened, and at least the whole settings area.
    // Empty when saveRefusal() refuses. May change g_eeprom and the emulator.
    std::vector<uint8_t> image() const;

    // Why the file must not be saved, in the console's words; "" when it
    // may be: a file longer than the flash image is no settings file, and
    // what it holds past the image would be lost.
    std::string saveRefusal() const;

    // The Status line when the file `name` could not be read at all.
    static std::string openFailedStatus(const std::string& name);

    // The Status line once the saved file has been handed to the browser,
    // which may have saved it under another name.
    std::string downloadedStatus() const;

    // The column heading of a field ("All range", ...); "" when out of range.
    static const char* fieldLabel(int field);

private:
    bool isEntry(int lens, int field) const;

    std::vector<uint8_t> _original;  // the file's bytes, at most the flash image's size
    bool _tooLarge = false;          // the file held more than the flash image
    std::string _name;
    std::string _status;
    SettingsOpened _result = SettingsOpened::Formatted;
    std::vector<AfCorrections> _opened;   // stored bytes per lens when opened
    std::vector<AfCorrections> _current;  // stored bytes per lens now
    std::vector<std::string> _focal;
    std::vector<std::pair<int, int>> _focalMm;  // wide, tele
    std::vector<uint16_t> _lensIds;
    uint16_t _lastMountedId = 0;
};

// The refusal shown at an input whose text setEntry did not take.
extern const std::string kEntryRefusedText;
// The refusal of a correction typed where a value is needed.
extern const std::string kCorrectionRefusedText;

// A correction typed where a value is needed (an empty field is no value):
// true with *value from kAfMin to kAfMax, read as setEntry reads its text.
bool parseCorrectionText(const std::string& text, int* value);
