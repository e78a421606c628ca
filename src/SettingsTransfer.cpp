#include "SettingsTransfer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "AdapterInfo.h"
#include "BackupChoice.h"
#include "EEPROM_Init.h"
#include "ConsoleInput.h"
#include "FailureLine.h"
#include "FirmwareUpdate.h"
#include "Interrupt.h"
#include "DriverValues.h"
#include "Printable.h"
#include "Progress.h"
#include "SafeSave.h"
#include "SettingsArea.h"
#include "SettingsBackup.h"
#include "SettingsFile.h"
#include "SettingsOpen.h"

namespace {

constexpr size_t kResetCountOffset = 393;  // byte of the built-in image counting resets
constexpr unsigned kResetCountBias = 2;

void _eraseSettingsArea(Samba& samba)
{
    g_loader_addr = kSettingsAreaAddr;
    g_fw_total_size = kSettingsAreaSize;
    std::printf("Clearing adapter setting, please wait ... ");
    showProgress();
    samba.chipErase(kSettingsAreaAddr, 1);
    std::puts(" Done");
}

// Programs a whole settings image under `label`, a dot per 64-byte block.
void _programSettings(Samba& samba, const uint8_t* image, const char* label)
{
    Progress progress(label, kSettingsAreaSize, Progress::OffTerminal::Dots);
    for (uint32_t pc = 0; pc < kSettingsAreaSize; pc += kBlockSize) {
        stopIfInterrupted();
        samba.write(kMonitorRamAddr, image + pc, kBlockSize);
        samba.writeBuffer(kMonitorRamAddr, kSettingsAreaAddr + pc, kBlockSize);
        progress.advance(kBlockSize);
    }
    progress.finish(" Done\n");
}

void _printSettingsChecksum(Samba& samba)
{
    std::printf("Checksum of adapter setting = 0x%08X\n",
                samba.checksumBuffer(kSettingsAreaAddr, kSettingsAreaSize));
}

// Whether the settings area now holds `image`, byte for byte; the checksum
// alone would not show a block the monitor stored wrongly.
bool _settingsVerified(Samba& samba, const uint8_t* image)
{
    uint8_t stored[kSettingsAreaSize];
    readSettingsArea(samba, stored);
    return std::memcmp(stored, image, sizeof stored) == 0;
}

// A decimal number from the console, blank lines skipped; false when none,
// also when the console has ended or cannot be read.
bool _readCount(int& count)
{
    int result;
    do {
        result = get_int(&count);
    } while (result == EOF && !input_ended(stdin));
    return result == 1;
}

} // namespace

BlockResult settingsWrite(Samba& samba, const char* file)
{
    std::printf("\n");
    timer_start();
    FilePtr in(std::fopen(file, "rb"));
    if (!in) {
        printFailure(stdout, "Failed in opening adapter setting file %s, abort\n", printable(file).c_str());
        return BlockResult::Aborted;
    }
    // Read before erasing: a short file must not leave the area half blank.
    uint8_t image[kSettingsAreaSize];
    if (std::fread(image, 1, sizeof image, in.get()) != sizeof image) {
        printFailure(stdout, "Adapter setting file %s is shorter than %u bytes, abort\n", printable(file).c_str(),
                     static_cast<unsigned>(kSettingsAreaSize));
        return BlockResult::Aborted;
    }
    in.reset();
    // A firmware or any other file would leave the adapter without settings.
    if (!isSettingsImage(image)) {
        printFailure(stdout, kNotSettingsFileFormat, printable(file).c_str());
        std::fputs("\n", stdout);
        return BlockResult::Aborted;
    }
    SettingsBackupMade backup;
    if (!backupSettings(samba, backup))
        return BlockResult::Aborted;
    reportBackupRead(backup, true);  // the write puts the area right

    stopIfInterrupted();  // the last moment at which nothing is changed yet
    std::string restore = restorableBackup(backup);
    setAdapterState(AdapterState::SettingsErased, restore.empty() ? file : restore);
    _eraseSettingsArea(samba);
    _programSettings(samba, image, "Updating adapter setting, please wait ... ");
    _printSettingsChecksum(samba);
    bool verified = _settingsVerified(samba, image);
    std::puts(verified ? "Adapter setting verified" : "Adapter setting verification failed, abort");
    if (verified)
        setAdapterState(AdapterState::Changed);
    else
        reportFailedWrite();
    printElapsed();
    showProgress();
    return verified ? BlockResult::Completed : BlockResult::Aborted;
}

BlockResult settingsSave(Samba& samba, const char* file)
{
    std::printf("\n");
    timer_start();
    // A file that cannot be written is known before the area's 1024 reads.
    std::string reason;
    bool saved = safeSaveCheck(file, &reason);
    if (saved) {
        uint8_t image[kSettingsAreaSize];
        readSettingsArea(samba, image);
        reportSettingsAreaRead(image, [&] { return adapterSerialNumber(samba); });
        saved = safeSave(file, image, sizeof image, &reason);
    }
    if (saved) {
        std::printf("Adapter setting saved to %s\n", printable(file).c_str());
    } else {
        printFailure(stdout, "Failed to create file %s , abort\n", printable(file).c_str());
        printSaveFailureReason(reason);
    }
    printElapsed();
    showProgress();
    return saved ? BlockResult::Completed : BlockResult::Aborted;
}

BlockResult settingsClear(Samba& samba)
{
    std::printf("\nHow many times have you reset this adapter's settings? ");
    showProgress();
    int count = 0;
    if (!_readCount(count)) {
        printFailure(stdout, "Wrong input, abort!");
        showProgress();
        return BlockResult::Aborted;
    }
    // A copy, so the built-in image stays as built for any later use.
    uint8_t image[kSettingsAreaSize];
    std::memcpy(image, g_myData, sizeof image);
    if (count != 0)
        image[kResetCountOffset] = static_cast<uint8_t>(static_cast<unsigned>(count) + kResetCountBias);
    timer_start();  // the clearing prints no time; kept for the shared timer state
    SettingsBackupMade backup;
    if (!backupSettings(samba, backup)) {
        showProgress();
        return BlockResult::Aborted;
    }
    reportBackupRead(backup, true);

    stopIfInterrupted();  // the last moment at which nothing is changed yet
    setAdapterState(AdapterState::SettingsErased, restorableBackup(backup));
    _eraseSettingsArea(samba);
    _programSettings(samba, image, "Formatting adapter setting , please wait ... ");
    setAdapterState(AdapterState::Changed);
    _printSettingsChecksum(samba);
    std::puts(" Done");
    showProgress();
    return BlockResult::Completed;
}
