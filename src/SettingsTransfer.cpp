#include "SettingsTransfer.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "EEPROM_Init.h"
#include "FirmwareUpdate.h"
#include "PelagoXcon.h"
#include "Progress.h"

namespace {

constexpr size_t kResetCountOffset = 393;  // byte of the built-in image counting resets
constexpr unsigned kResetCountBias = 2;
constexpr const char* kTempSuffix = ".tmp";
constexpr int kTempNameTries = 100;

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
        samba.write(kMonitorRamAddr, image + pc, kBlockSize);
        samba.writeBuffer(kMonitorRamAddr, kSettingsAreaAddr + pc, kBlockSize);
        progress.advance(kBlockSize);
    }
    progress.finish();
    std::puts(" Done");
}

void _printSettingsChecksum(Samba& samba)
{
    std::printf("Checksum of adapter setting = 0x%08X\n",
                samba.checksumBuffer(kSettingsAreaAddr, kSettingsAreaSize));
}

// A name beside `path` that nothing has yet, so the temporary file never
// overwrites one of the user's; empty when none was found.
std::string _freeTempName(const std::string& path)
{
    std::string base = path + kTempSuffix;
    for (int n = 0; n < kTempNameTries; ++n) {
        std::string name = n == 0 ? base : base + std::to_string(n);
        std::error_code error;
        if (std::filesystem::symlink_status(name, error).type() == std::filesystem::file_type::not_found)
            return name;
    }
    return "";
}

// Stores `image` as `path` only once all of it is on disk beside it.
bool _replaceFile(const std::string& name, const uint8_t* image, size_t size)
{
    // Through a link, the file it names is the one to replace, not the link.
    std::error_code linkError;
    std::string path = name;
    if (std::filesystem::symlink_status(name, linkError).type() == std::filesystem::file_type::symlink) {
        path = std::filesystem::weakly_canonical(name, linkError).string();
        if (linkError)
            return false;
    }

    std::string temp = _freeTempName(path);
    if (temp.empty())
        return false;
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    if (out == nullptr)
        return false;
    bool written = std::fwrite(image, 1, size, out) == size;
    if (std::fclose(out) != 0 || !written) {
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    // Some C runtimes refuse to rename over an existing file. While the old
    // file stands, the temporary one goes; once it is gone, the temporary
    // one is the only copy and stays. Only a file is ever made way for:
    // remove() would also take an empty directory.
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(path, ignored) || std::remove(path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

// A decimal number from the console, blank lines skipped; false when none,
// also when the console has ended or cannot be read.
bool _readCount(int& count)
{
    int result;
    do {
        result = get_int(&count);
    } while (result == EOF && !std::feof(stdin) && !std::ferror(stdin));
    return result == 1;
}

} // namespace

void readSettingsArea(Samba& samba, uint8_t (&image)[kSettingsAreaSize])
{
    // A terminal sees the 1024 word reads move; a pipe gets nothing extra.
    Progress progress("Reading adapter setting ", kSettingsAreaSize, Progress::OffTerminal::Silent);
    uint32_t reported = 0;
    samba.eepromDump(kSettingsAreaSize, image, [&](uint32_t done) {
        progress.advance(done - reported);
        reported = done;
    });
    progress.finish();
}

BlockResult settingsWrite(Samba& samba, const char* file)
{
    std::printf("\n");
    timer_start();
    FilePtr in(std::fopen(file, "rb"));
    if (!in) {
        std::printf("Failed in opening adapter setting file %s, abort\n", file);
        return BlockResult::Aborted;
    }
    // Read before erasing: a short file must not leave the area half blank.
    uint8_t image[kSettingsAreaSize];
    if (std::fread(image, 1, sizeof image, in.get()) != sizeof image) {
        std::printf("Adapter setting file %s is shorter than %u bytes, abort\n", file,
                    static_cast<unsigned>(kSettingsAreaSize));
        return BlockResult::Aborted;
    }
    in.reset();

    _eraseSettingsArea(samba);
    _programSettings(samba, image, "Updating adapter setting, please wait ... ");
    _printSettingsChecksum(samba);
    printElapsed();
    showProgress();
    return BlockResult::Completed;
}

BlockResult settingsSave(Samba& samba, const char* file)
{
    std::printf("\n");
    timer_start();
    uint8_t image[kSettingsAreaSize];
    readSettingsArea(samba, image);
    bool saved = _replaceFile(file, image, sizeof image);
    if (!saved)
        std::printf("Failed to create file %s , abort\n", file);
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
        std::printf("Wrong input, abort!");
        showProgress();
        return BlockResult::Aborted;
    }
    // A copy, so the built-in image stays as built for any later use.
    uint8_t image[kSettingsAreaSize];
    std::memcpy(image, g_myData, sizeof image);
    if (count != 0)
        image[kResetCountOffset] = static_cast<uint8_t>(static_cast<unsigned>(count) + kResetCountBias);
    timer_start();  // the clearing prints no time; kept for the shared timer state

    _eraseSettingsArea(samba);
    _programSettings(samba, image, "Formatting adapter setting , please wait ... ");
    _printSettingsChecksum(samba);
    std::puts(" Done");
    showProgress();
    return BlockResult::Completed;
}
