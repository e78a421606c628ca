#include "SettingsEditor.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "Formatted.h"
#include "LensTuning.h"
#include "SettingsFile.h"
#include "WholeNumber.h"
#include "eeprom.h"
#include "nvm.h"

const std::string kCorrectionRefusedText = "Enter " + wholeNumberText(kAfMin, kAfMax);
const std::string kEntryRefusedText = kCorrectionRefusedText + ", or leave it empty for default";

namespace {

const char* const kFieldLabels[kAfFieldCount] = {
    "All range",
    "Tele/near to 1/2",
    "1/2 to 3/4",
    "3/4 to wide/infinity",
};

constexpr const char* kLineSeparator = " \u00B7 ";  // a middle dot
constexpr const char* kChangeArrow = " \u2192 ";
constexpr const char* kDefaultWord = "default";


std::string focalText(const EEPROM_LENS_SPEC& lens)
{
    if (lens.focal_wide == lens.focal_tele)
        return std::to_string(lens.focal_wide) + "mm";
    return std::to_string(lens.focal_wide) + "-" + std::to_string(lens.focal_tele) + "mm";
}

std::string valueText(int8_t stored)
{
    return isAfDefault(stored) ? kDefaultWord : std::to_string(decodeAfCorrection(stored));
}

// Parses an entry: true with *isDefault, or with *value in range.
bool parseEntry(const std::string& text, bool* isDefault, int* value)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    *isDefault = begin == end;
    if (*isDefault)
        return true;
    long number = 0;
    if (!parseWholeNumber(text.substr(begin, end - begin), kAfMin, kAfMax, number))
        return false;
    *value = static_cast<int>(number);
    return true;
}

} // namespace

bool parseCorrectionText(const std::string& text, int* value)
{
    bool isDefault = false;
    return parseEntry(text, &isDefault, value) && !isDefault;
}

SettingsOpened SettingsEditor::open(const uint8_t* bytes, size_t size, const std::string& name)
{
    size_t count = placeSettingsImage(bytes, size);
    _original.assign(bytes, bytes + count);
    _tooLarge = size > kFlashImageSize;
    _name = name;
    _opened.clear();
    _focal.clear();
    _focalMm.clear();
    _lensIds.clear();
    _result = openSettingsImage();

    switch (_result) {
    case SettingsOpened::Formatted:
        _status = formatted(kFormattedFormat, name.c_str());
        break;
    case SettingsOpened::Old:
    case SettingsOpened::Corrupted:
        _status = signatureText(_result);
        break;
    case SettingsOpened::Current: {
        EF_LENS_CTRL ctrl{};
        readLensCtrl(&ctrl);
        _lastMountedId = ctrl.last_ef_lens_id;
        int listed = listedLensCount(ctrl);
        for (int number = 1; number <= listed; ++number) {
            EEPROM_LENS_SPEC lens{};
            readLensSpec(number, &lens);
            _opened.push_back(lensCorrections(lens));
            _focal.push_back(focalText(lens));
            _focalMm.emplace_back(lens.focal_wide, lens.focal_tele);
            _lensIds.push_back(lens.lens_id);
        }
        if (listed == 0) {
            _status = kNoLensText;
        } else if (ctrl.lens_num_used > listed) {
            _status = formatted(kLensesBeyondFormat, ctrl.lens_num_used, listed);
        } else {
            _status = name + ": " + std::to_string(listed) + (listed == 1 ? " lens" : " lenses");
        }
        break;
    }
    }
    _current = _opened;
    return _result;
}

bool SettingsEditor::isEntry(int lens, int field) const
{
    return lens >= 1 && lens <= lensCount() && field >= 0 && field < kAfFieldCount;
}

std::string SettingsEditor::focalLength(int lens) const
{
    return isEntry(lens, 0) ? _focal[lens - 1] : std::string();
}

bool SettingsEditor::focalRange(int lens, int* wide, int* tele) const
{
    if (!isEntry(lens, 0))
        return false;
    *wide = _focalMm[lens - 1].first;
    *tele = _focalMm[lens - 1].second;
    return true;
}

std::string SettingsEditor::lensIdText(int lens) const
{
    if (!isEntry(lens, 0))
        return std::string();
    return formatted("ID 0x%04X", static_cast<unsigned>(_lensIds[lens - 1]));
}

bool SettingsEditor::lastMounted(int lens) const
{
    return isEntry(lens, 0) && _lensIds[lens - 1] == _lastMountedId;
}

bool SettingsEditor::entryValue(int lens, int field, int* value) const
{
    if (!isEntry(lens, field) || isAfDefault(_current[lens - 1][field]))
        return false;
    *value = decodeAfCorrection(_current[lens - 1][field]);
    return true;
}

std::string SettingsEditor::entryText(int lens, int field) const
{
    int value = 0;
    return entryValue(lens, field, &value) ? std::to_string(value) : std::string();
}

bool SettingsEditor::setEntry(int lens, int field, const std::string& text)
{
    bool isDefault = false;
    int value = 0;
    if (!isEntry(lens, field) || !parseEntry(text, &isDefault, &value))
        return false;
    _current[lens - 1][field] = isDefault ? kAfDefault : encodeAfCorrection(value);
    return true;
}

bool SettingsEditor::entryChanged(int lens, int field) const
{
    return isEntry(lens, field) && _current[lens - 1][field] != _opened[lens - 1][field];
}

bool SettingsEditor::lensChanged(int lens) const
{
    return isEntry(lens, 0) && _current[lens - 1] != _opened[lens - 1];
}

int SettingsEditor::changeCount() const
{
    int count = 0;
    for (int lens = 1; lens <= lensCount(); ++lens) {
        for (int field = 0; field < kAfFieldCount; ++field)
            count += entryChanged(lens, field) ? 1 : 0;
    }
    return count;
}

std::string SettingsEditor::changeCountText() const
{
    int count = changeCount();
    if (count == 0)
        return std::string();
    return std::to_string(count) + (count == 1 ? " unsaved change" : " unsaved changes");
}

void SettingsEditor::undoLens(int lens)
{
    if (isEntry(lens, 0))
        _current[lens - 1] = _opened[lens - 1];
}

std::vector<std::string> SettingsEditor::changeLines() const
{
    std::vector<std::string> lines;
    for (int lens = 1; lens <= lensCount(); ++lens) {
        for (int field = 0; field < kAfFieldCount; ++field) {
            if (!entryChanged(lens, field))
                continue;
            lines.push_back("Lens " + std::to_string(lens) + " (" + _focal[lens - 1] + ")" + kLineSeparator +
                            kFieldLabels[field] + ": " + valueText(_opened[lens - 1][field]) + kChangeArrow +
                            valueText(_current[lens - 1][field]));
        }
    }
    return lines;
}

std::vector<std::string> SettingsEditor::lensLines() const
{
    std::vector<std::string> lines;
    for (int lens = 1; lens <= lensCount(); ++lens) {
        std::string line = "Lens " + std::to_string(lens) + " (" + _focal[lens - 1] + ")";
        for (int field = 0; field < kAfFieldCount; ++field)
            line += kLineSeparator + std::string(kFieldLabels[field]) + ": " + valueText(_current[lens - 1][field]);
        lines.push_back(line);
    }
    return lines;
}

void SettingsEditor::markSaved()
{
    if (!edited() || _tooLarge)
        return;
    _original = image();
    _opened = _current;
}

std::vector<uint8_t> SettingsEditor::image() const
{
    if (_tooLarge)
        return {};
    if (!edited() && _result != SettingsOpened::Formatted)
        return _original;
    // The console's order: load, open (formatting or repairing as it does),
    // rewrite the tuned records, commit.
    placeSettingsImage(_original.data(), _original.size());
    openSettingsImage();
    for (int number = 1; number <= lensCount(); ++number) {
        if (_current[number - 1] != _opened[number - 1])
            writeLensCorrections(number, _current[number - 1]);
    }
    eeprom_emulator_commit_page_buffer();
    return std::vector<uint8_t>(g_eeprom, g_eeprom + std::max(_original.size(), kSettingsFileSize));
}

std::string SettingsEditor::saveRefusal() const
{
    return _tooLarge ? formatted(kTooLargeFormat, _name.c_str()) : std::string();
}

std::string SettingsEditor::openFailedStatus(const std::string& name)
{
    return formatted(kOpenFailedFormat, name.c_str());
}

std::string SettingsEditor::downloadedStatus() const
{
    return "Downloaded " + _name + ". Your browser may have added a number to the name.";
}

const char* SettingsEditor::fieldLabel(int field)
{
    return field >= 0 && field < kAfFieldCount ? kFieldLabels[field] : "";
}
