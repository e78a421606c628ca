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

    uint32_t crc = fwCrc32Update(kCrc32Init, image.data(), image.size());
    for (size_t i = 0; i < tail.size(); ++i) {
        const uint8_t landed = fwCipherByte(options.loadAddress + payloadSize + static_cast<uint32_t>(i), tail[i]);
        crc = fwCrc32Update(crc, &landed, 1);
    }
    uint32_t plainChecksum = fwCrc32Final(crc);
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
    return true;
}

}  // namespace sim
