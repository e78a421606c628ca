// Builds firmware files byte by byte, valid by default, so a test can
// break exactly one field.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

struct FirmwareBuilder {
    std::string signature = "QVLE";
    uint16_t swVersion = 0x0103;
    uint32_t loadAddr = 0x1000;
    uint32_t plainChecksum = 0;
    uint8_t handling = 0;
    uint16_t pcb[8] = {0x0102, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> payload = std::vector<uint8_t>(64, 0x5A);
    bool declareOwnSize = true;  // false: use declaredSize instead of payload.size()
    uint32_t declaredSize = 0;
    bool trailerFromSum = true;  // false: use trailer instead of the payload's byte sum
    uint32_t trailer = 0;
    std::vector<uint8_t> tail;   // bytes after the trailing checksum

    static void putLe(std::vector<uint8_t>& out, uint32_t value, int width)
    {
        for (int i = 0; i < width; ++i)
            out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }

    static uint32_t byteSum(const std::vector<uint8_t>& bytes)
    {
        uint32_t sum = 0;
        for (uint8_t b : bytes)
            sum += b;
        return sum;
    }

    std::vector<uint8_t> bytes() const
    {
        std::vector<uint8_t> out(signature.begin(), signature.end());
        out.resize(4, ' ');
        putLe(out, swVersion, 2);
        putLe(out, 0, 2);
        putLe(out, loadAddr, 4);
        putLe(out, declareOwnSize ? static_cast<uint32_t>(payload.size()) : declaredSize, 4);
        putLe(out, plainChecksum, 4);
        out.resize(31, 0);
        out.push_back(handling);
        for (uint16_t entry : pcb)
            putLe(out, entry, 2);
        out.insert(out.end(), payload.begin(), payload.end());
        putLe(out, trailerFromSum ? byteSum(payload) : trailer, 4);
        out.insert(out.end(), tail.begin(), tail.end());
        return out;
    }

    void save(const std::string& path) const { saveBytes(path, bytes()); }

    static void saveBytes(const std::string& path, const std::vector<uint8_t>& data)
    {
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
};
