#include "AdapterInfo.h"

#include <cstdio>

#include "Interrupt.h"
#include "DriverValues.h"
#include "Formatted.h"
#include "Printable.h"

namespace {

std::string g_lastSerial;
AdapterIdentity g_identity;

// Where the lines of adapterIdentityLines start that each group of reads
// fills: each group is printed once read, so a monitor that fails midway
// leaves what was read before on the console.
constexpr size_t kSerialLine = 1;
constexpr size_t kFirmwareLine = 2;

unsigned _bits(uint32_t word, int shift, uint32_t mask)
{
    return static_cast<unsigned>((word >> shift) & mask);
}

void _storeLe(uint32_t word, char* out)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((word >> (8 * i)) & 0xFF);
}


// Prints the identity's lines from `from` up to `to`.
void _printLines(const AdapterIdentity& identity, size_t from, size_t to)
{
    std::vector<std::string> lines = adapterIdentityLines(identity);
    for (size_t i = from; i < to && i < lines.size(); ++i)
        std::printf("%s\n", lines[i].c_str());
}

} // namespace

std::vector<std::string> adapterIdentityLines(const AdapterIdentity& id)
{
    return {
        "Bootloader Version: " + printable(id.bootloaderVersion),
        "Adapter SN: " + printable(id.serialNumber) + formatted(" , PCB Ver: 0x%04X", id.pcbVersion),
        formatted("Firmware Version: 0x%04X", id.firmwareVersion),
        formatted("ROM Version: 0x%02X", id.romVersion),
        formatted("Pre0=%u, Pre1=%u", id.pre0, id.pre1),
        "Type=" + printable(std::string(1, static_cast<char>(id.typeLetter))),
        formatted("ADJ=%u", id.adj),
    };
}

const AdapterIdentity& lastAdapterIdentity()
{
    return g_identity;
}

std::string adapterSerialNumber(Samba& samba)
{
    char sn[kSerialNumberSize + 1] = {};  // may end early at a 0 byte
    _storeLe(samba.readWord(kAddrSerialLo), sn);
    _storeLe(samba.readWord(kAddrSerialHi), sn + 4);
    g_lastSerial = sn;
    return g_lastSerial;
}

const std::string& lastAdapterSerialNumber()
{
    return g_lastSerial;
}

BlockResult adapterInfo(Samba& samba)
{
    std::printf("\n");
    timer_start();
    AdapterIdentity id;
    id.bootloaderVersion = samba.version();
    _printLines(id, 0, kSerialLine);

    id.pcbVersion = _bits(samba.readWord(kAddrBoardId), 0, 0xFFFF);
    id.serialNumber = adapterSerialNumber(samba);
    _printLines(id, kSerialLine, kFirmwareLine);

    uint32_t dwv1 = samba.readWord(kAddrFwVersion);
    uint32_t dwv2 = samba.readWord(kAddrFwType);
    uint32_t romAdj = samba.readWord(kAddrAdj);
    id.firmwareVersion = _bits(dwv1, 0, 0xFFFF);
    id.romVersion = _bits(dwv1, 16, 0xFF);
    id.pre0 = _bits(dwv1, 24, 0xFF);
    id.pre1 = _bits(dwv2, 0, 0xFF);
    id.typeLetter = installedTypeLetter(dwv2);
    id.adj = _bits(romAdj, 8, 0xFF);
    _printLines(id, kFirmwareLine, SIZE_MAX);
    g_identity = id;
    printElapsed();
    // What an interrupted update leaves: -f would refuse it without -I.
    if (id.typeLetter == kNoFirmwareLetter)
        offerWayBack({WayBackKind::NoFirmware, adapterPort(), ""});
    showProgress();
    return BlockResult::Completed;
}

BlockResult adapterReset(Samba& samba)
{
    samba.reset();
    showProgress();
    return BlockResult::Completed;
}
