#include "Mkfw.h"

#include <algorithm>

#include "FwCodec.h"

namespace sim {

namespace {

constexpr size_t kHeaderSize = 48;
constexpr size_t kBlockSize = 64;
constexpr size_t kMaxPcbEntries = 8;
constexpr size_t kSettingsTailSize = 4096;  // written after the payload with handling byte 2
constexpr size_t kTrailingSumSize = 4;
constexpr uint8_t kHandlingWithSettings = 2;
constexpr uint8_t kErasedByte = 0xFF;

constexpr uint32_t kAppAreaSize = kSettingsStart - kAppStart;

void putLe(std::vector<uint8_t>& out, size_t offset, uint32_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> makeHeader(const MkfwOptions& options, uint32_t payloadSize, uint32_t plainChecksum) {
    std::vector<uint8_t> header(kHeaderSize, 0);
    for (size_t i = 0; i < 4 && i < options.signature.size(); ++i)
        header[i] = static_cast<uint8_t>(options.signature[i]);
    putLe(header, 4, options.swVersion, 2);
    putLe(header, 8, options.loadAddress, 4);
    putLe(header, 12, payloadSize, 4);
    putLe(header, 16, plainChecksum, 4);
    header[31] = options.settingsHandling;
    for (size_t i = 0; i < options.pcbVersions.size(); ++i) putLe(header, 32 + 2 * i, options.pcbVersions[i], 2);
    return header;
}

// Pads `image` (loading at `load`) to the end of the application area and
// places the identity words.
bool fillWholeArea(std::vector<uint8_t>& image, const MkfwOptions& options, std::string& error) {
    if (options.loadAddress < kAppStart || options.loadAddress > kFirmwareWordAddr) {
        error = "a whole-area image must load inside the application area";
        return false;
    }
    const size_t size = kSettingsStart - options.loadAddress;
    if (image.size() > size) {
        error = "the image is larger than the application area";
        return false;
    }
    image.resize(size, kErasedByte);
    putLe(image, kFirmwareWordAddr - options.loadAddress, options.firmwareWord, 4);
    putLe(image, kTypeWordAddr - options.loadAddress, uint32_t(options.typeLetter) << kTypeLetterShift, 4);
    return true;
}

// The application area as the monitor holds it after erasing and
// programming `landed` from `load` on.
uint32_t areaChecksumAfter(const std::vector<uint8_t>& landed, uint32_t load) {
    std::vector<uint8_t> area(kAppAreaSize, kErasedByte);
    for (size_t i = 0; i < landed.size(); ++i) {
        const uint64_t addr = uint64_t(load) + i;
        if (addr >= kAppStart && addr < kSettingsStart) area[addr - kAppStart] = landed[i];
    }
    return fwCrc32(area.data(), area.size());
}

}  // namespace

bool mkfwBuild(const std::vector<uint8_t>& plain, const MkfwOptions& options, MkfwResult& result,
               std::string& error) {
    if (options.pcbVersions.size() > kMaxPcbEntries) {
        error = "at most 8 PCB versions";
        return false;
    }
    const bool withSettings = options.settingsHandling == kHandlingWithSettings;
    const size_t settingsBytes = kSettingsTailSize - kTrailingSumSize;
    if (withSettings && options.settingsImage.size() > kSettingsTailSize) {
        error = "settings image longer than 4096 bytes";
        return false;
    }

    std::vector<uint8_t> image = plain;
    if (options.wholeArea && !fillWholeArea(image, options, error)) return false;
    image.resize((image.size() + kBlockSize - 1) / kBlockSize * kBlockSize, kErasedByte);
    const uint32_t payloadSize = static_cast<uint32_t>(image.size());

    std::vector<uint8_t> payload(image.size());
    for (size_t i = 0; i < image.size(); ++i)
        payload[i] = fwCipherByte(options.loadAddress + static_cast<uint32_t>(i), image[i]);
    const uint32_t trailingSum = fwByteSum(payload.data(), payload.size());

    // The tail the tool writes after the payload: the trailing sum itself,
    // then the settings bytes. It lands behind the image and is deciphered
    // wherever it falls inside the application area.
    std::vector<uint8_t> tail;
    if (withSettings) {
        tail.resize(kTrailingSumSize);
        putLe(tail, 0, trailingSum, kTrailingSumSize);
        std::vector<uint8_t> settings(options.settingsImage.begin(),
                                      options.settingsImage.begin() +
                                          std::min(options.settingsImage.size(), settingsBytes));
        settings.resize(settingsBytes, kErasedByte);
        tail.insert(tail.end(), settings.begin(), settings.end());
    }

    std::vector<uint8_t> landed = image;
    for (size_t i = 0; i < tail.size(); ++i)
        landed.push_back(fwCipherByte(options.loadAddress + payloadSize + static_cast<uint32_t>(i), tail[i]));
    uint32_t plainChecksum = fwCrc32(landed.data(), landed.size());
    if (options.wrongPlainChecksum) plainChecksum ^= 0x00000001u;

    std::vector<uint8_t> file = makeHeader(options, payloadSize, plainChecksum);
    file.insert(file.end(), payload.begin(), payload.end());
    for (size_t i = 0; i < kTrailingSumSize; ++i) file.push_back(static_cast<uint8_t>(trailingSum >> (8 * i)));
    if (withSettings) file.insert(file.end(), tail.begin() + kTrailingSumSize, tail.end());
    if (options.truncateTo >= 0 && static_cast<size_t>(options.truncateTo) < file.size())
        file.resize(static_cast<size_t>(options.truncateTo));

    result.file = std::move(file);
    result.plainChecksum = plainChecksum;
    result.payloadSize = payloadSize;
    result.areaChecksum = areaChecksumAfter(landed, options.loadAddress);
    return true;
}

}  // namespace sim
