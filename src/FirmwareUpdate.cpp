#include "FirmwareUpdate.h"

#include <cstdio>

#include "AdapterInfo.h"
#include "BackupChoice.h"
#include "FirmwareCheck.h"
#include "FailureLine.h"
#include "Interrupt.h"
#include "DriverValues.h"
#include "Printable.h"
#include "Progress.h"
#include "SettingsBackup.h"

namespace {

constexpr uint8_t kBlankLetter = 0xFF;
constexpr uint32_t kTrailerSize = 4;  // the trailing byte sum after the payload

uint8_t _sigLetter(uint32_t sigs)
{
    return static_cast<uint8_t>(sigs >> 24);
}

uint8_t _installedTypeLetter(Samba& samba)
{
    return installedTypeLetter(samba.readWord(kAddrFwType));
}

// Whether `count` more bytes can be read from `f`; reads them in blocks.
bool _hasBytes(std::FILE* f, uint32_t count)
{
    uint8_t block[kBlockSize];
    while (count > 0) {
        size_t want = count < kBlockSize ? count : kBlockSize;
        if (std::fread(block, 1, want, f) != want)
            return false;
        count -= static_cast<uint32_t>(want);
    }
    return true;
}

// The file's own checks and what erasing would need from it. Prints the
// refusal; true when the file may be written.
bool _fileAcceptable(std::FILE* f, const char* file)
{
    g_loader_addr = kFirmwareLoadAddr;
    if (FirmwareCheck(f) != FW_OK) {
        printFailure(stdout, "Invalid firmware %s, abort\n", printable(file).c_str());
        return false;
    }
    // The settings follow the payload from its trailing checksum on; the
    // position is just after that checksum now.
    if (g_eeprom_handle == kHandleWriteSettings && !_hasBytes(f, kSettingsAreaSize - kTrailerSize)) {
        printFailure(stdout, "Firmware %s lacks the adapter setting data, abort\n", printable(file).c_str());
        return false;
    }
    return true;
}

bool _boardAcceptable(Samba& samba)
{
    uint32_t board = samba.readWord(kAddrBoardId);
    if (!firmwareTypeMatches(static_cast<uint8_t>(board >> 16), qvl_sigs)) {
        printFailure(stdout, "Firmware type does not match adapter, unable to update, abort\n");
        return false;
    }
    if (!firmwarePcbMatches(static_cast<uint16_t>(board), g_hw_ver)) {
        printFailure(stdout, "Adapter PCB version doesn't match, unable to update, abort\n");
        return false;
    }
    return true;
}

// Writes g_fw_total_size bytes from the payload on. False when the file
// ran short, which only a file changed since its check can do.
bool _writeImage(Samba& samba, std::FILE* f)
{
    uint8_t block[kBlockSize];
    Progress progress("Updating firmware, please wait ", g_fw_total_size, Progress::OffTerminal::Dots);
    if (std::fseek(f, kFirmwarePayloadOffset, SEEK_SET) != 0)
        return false;
    for (uint32_t pc = 0; pc < g_fw_total_size; pc += kBlockSize) {
        stopIfInterrupted();
        if (std::fread(block, 1, sizeof block, f) != sizeof block)
            return false;
        samba.write(kMonitorRamAddr, block, kBlockSize);
        samba.writeBuffer(kMonitorRamAddr, g_loader_addr + pc, kBlockSize);
        progress.advance(kBlockSize);
    }
    progress.finish();
    return true;
}

bool _verify(Samba& samba)
{
    uint32_t crcProg = samba.checksumBuffer(kAppAreaAddr, kAppAreaSize);
    uint32_t crcEeprom = samba.checksumBuffer(kSettingsAreaAddr, kSettingsAreaSize);
    std::printf("\tChecksum of Firmware code = 0x%08X\n\tChecksum of User Configuration Data = 0x%08X\n",
                crcProg, crcEeprom);
    bool ok = samba.checksumBuffer(g_loader_addr, g_fw_total_size) == g_plain_cksum;
    std::puts(ok ? "\tFirmware update OK" : "\tFirmware update failed");
    return ok;
}

} // namespace

bool firmwareTypeMatches(uint8_t boardLetter, uint32_t sigs)
{
    if (boardLetter == kBlankLetter)
        return true;
    return (boardLetter == 'E' || boardLetter == 'C') && _sigLetter(sigs) == boardLetter;
}

bool firmwarePcbMatches(uint16_t hwver, const uint16_t (&entries)[8])
{
    for (uint16_t entry : entries) {
        if (entry == hwver)
            return true;
        if ((entry & 0xFF) == 0xFF && (entry >> 8) == (hwver >> 8))
            return true;
    }
    return false;
}

BlockResult firmwareUpdate(Samba& samba, const char* file, bool force)
{
    // Read even when forced: a dead monitor should fail here, before the file.
    uint8_t installed = _installedTypeLetter(samba);
    if (installed != 'C' && installed != 'E' && !force) {
        printFailure(stdout, "Not Quorvane EF/GFX or CONTAX645/GFX adapter, unable to update, abort\n");
        // An erased application area is what an interrupted update leaves.
        if (installed == kNoFirmwareLetter)
            offerWayBack({WayBackKind::NoFirmware, adapterPort(), file});
        return BlockResult::Aborted;
    }

    std::printf("\n");
    timer_start();
    FilePtr fw(std::fopen(file, "rb"));
    if (!fw) {
        printFailure(stdout, "Failed in opening firmware file %s, abort\n", printable(file).c_str());
        return BlockResult::Aborted;
    }
    if (!_fileAcceptable(fw.get(), file)) {
        fw.reset();
        printElapsed();
        return BlockResult::Aborted;
    }
    if (!_boardAcceptable(samba))
        return BlockResult::Aborted;
    const bool settingsErased = firmwareErasesSettings(g_eeprom_handle);
    SettingsBackupMade backup;
    if (settingsErased) {
        if (!backupSettings(samba, backup))
            return BlockResult::Aborted;
        // Named now: the update leaves the area erased, or as the file has it.
        reportBackupRead(backup, false);
    }

    stopIfInterrupted();  // the last moment at which nothing is changed yet
    setFirmwarePartial(file, settingsErased, restorableBackup(backup));
    samba.chipErase(g_loader_addr, settingsErased ? 1 : 0);
    if (g_eeprom_handle == kHandleWriteSettings)
        g_fw_total_size += kSettingsAreaSize;
    samba.initD();

    if (!_writeImage(samba, fw.get())) {
        printFailure(stdout, "\nFailed in reading firmware file %s, abort\n", printable(file).c_str());
        return BlockResult::Aborted;
    }
    std::puts("\nDone");

    bool verified = _verify(samba);
    if (verified)
        setAdapterState(AdapterState::Changed);
    else
        reportFailedWrite();  // before the reset: the way back is the same whatever ends the run
    std::printf("Resetting adapter ... ");
    showProgress();
    samba.reset();
    std::puts("Done");

    fw.reset();
    printElapsed();
    showProgress();
    return verified ? BlockResult::Completed : BlockResult::Aborted;
}
