#include "OfflineRoad.h"

#include <string>

#include "ConsoleInput.h"
#include "LensTuning.h"
#include "DriverValues.h"
#include "Printable.h"
#include "SettingsFile.h"
#include "SettingsOpen.h"
#include "SettingsRecord.h"
#include "eeprom.h"
#include "nvm.h"

namespace {

constexpr int kOfflineExitStatus = 1;

void save(const char* file, long size, FILE* out)
{
    eeprom_emulator_commit_page_buffer();
    std::string error;
    if (saveSettingsFile(file, size_t(size), &error))
        std::fputs("Adapter setting was saved\n", out);
    else
        std::fprintf(out, "Failed in saving adapter setting file %s (%s), the file is left unchanged\n",
                     printable(file).c_str(), printable(error).c_str());
}

} // namespace

bool runSettingsSession(bool display, FILE* in, FILE* out)
{
    // An image that is not an emulated EEPROM is formatted afresh; the save
    // question follows because formatting changed the image.
    SettingsOpened opened = openSettingsImage();
    if (opened == SettingsOpened::Formatted)
        return true;
    if (const char* text = signatureText(opened)) {
        std::fprintf(out, "%s\n", text);
        return false;
    }

    EF_LENS_CTRL ctrl{};
    readLensCtrl(&ctrl);
    if (display)
        printEepromDump(out);
    else
        tuneLenses(ctrl, in, out);
    return false;
}

bool askToSave(FILE* in, FILE* out)
{
    if (!eeprom_dirty)
        return false;
    std::fputs("Adapter setting has been modified, do you want to save it ? (Y/N)", out);
    std::fflush(out);
    // Bounded like a console line: an endless source of other bytes must
    // end the question as the end of input does.
    for (size_t skipped = 0; skipped < kConsoleLineLimit; ++skipped) {
        int decision = std::fgetc(in);
        if (decision == 'Y' || decision == 'y')
            return true;
        if (decision == 'N' || decision == 'n')
            return false;
        if (decision == EOF)
            break;
    }
    std::fputs("\nNo answer, adapter setting was not saved\n", out);
    return false;
}

int offlineRoad(const char* file)
{
    std::fputs("\n", stdout);
    long size = loadSettingsFile(file);
    if (size == kSettingsFileUnreadable) {
        std::printf(kOpenFailedFormat, printable(file).c_str());
        std::fputs("\n", stdout);
        return kOfflineExitStatus;
    }
    // Saying so before the question: a "y" would replace the file (perhaps
    // a firmware file given by mistake) with a blank setting.
    if (runSettingsSession(config.lens_display, stdin, stdout)) {
        std::printf(kFormattedFormat, printable(file).c_str());
        std::fputs("\n", stdout);
    }
    if (!askToSave(stdin, stdout))
        return kOfflineExitStatus;
    // Not a settings file at all (a firmware file, perhaps): what it holds
    // past the flash image would be lost.
    if (size == kSettingsFileTooLarge) {
        std::printf(kTooLargeFormat, printable(file).c_str());
        std::fputs("\n", stdout);
    } else {
        save(file, size, stdout);
    }
    return kOfflineExitStatus;
}
