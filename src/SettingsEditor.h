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

    // The Status line once the saved file has been handed to the user.
    std::string savedStatus() const;

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
};

// The refusal shown at an input whose text setEntry did not take.
extern const char kEntryRefusedText[];

// A correction typed where a value is needed (an empty field is no value):
// true with *value from -127 to 127, read as setEntry reads its text.
bool parseCorrectionText(const std::string& text, int* value);
