#include "AdapterInfo.h"

#include <cstdio>

#include "Interrupt.h"
#include "DriverValues.h"
#include "Printable.h"

namespace {

std::string g_lastSerial;

unsigned _bits(uint32_t word, int shift, uint32_t mask)
{
    return static_cast<unsigned>((word >> shift) & mask);
}

void _storeLe(uint32_t word, char* out)
{
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<char>((word >> (8 * i)) & 0xFF);
}

} // namespace

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
    std::printf("Bootloader Version: %s\n", printable(samba.version()).c_str());

    uint32_t hwver = samba.readWord(kAddrBoardId);
    std::string sn = adapterSerialNumber(samba);
    std::printf("Adapter SN: %s , PCB Ver: 0x%04X\n", printable(sn).c_str(), _bits(hwver, 0, 0xFFFF));

    uint32_t dwv1 = samba.readWord(kAddrFwVersion);
    uint32_t dwv2 = samba.readWord(kAddrFwType);
    uint32_t romAdj = samba.readWord(kAddrAdj);
    std::printf("Firmware Version: 0x%04X\nROM Version: 0x%02X\nPre0=%u, Pre1=%u\nType=%s\nADJ=%u\n",
                _bits(dwv1, 0, 0xFFFF), _bits(dwv1, 16, 0xFF), _bits(dwv1, 24, 0xFF),
                _bits(dwv2, 0, 0xFF), printable(std::string(1, static_cast<char>(_bits(dwv2, 8, 0xFF)))).c_str(),
                _bits(romAdj, 8, 0xFF));
    printElapsed();
    // What an interrupted update leaves: -f would refuse it without -I.
    if (installedTypeLetter(dwv2) == kNoFirmwareLetter)
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
