#include "DeviceExpect.h"

#include <cstdio>

#include "FwCodec.h"

using namespace std::chrono_literals;

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string infoBlock(const std::string& sn, const std::string& pcb, const std::string& fw,
                      const std::string& rom, int pre0, int pre1, const std::string& type, int adj)
{
    return "\nBootloader Version: " + std::string(sim::SimOptions::kDefaultVersionText) + "\n" +
           "Adapter SN: " + sn + " , PCB Ver: " + pcb + "\n" + "Firmware Version: " + fw + "\n" +
           "ROM Version: " + rom + "\n" + "Pre0=" + std::to_string(pre0) + ", Pre1=" + std::to_string(pre1) +
           "\n" + "Type=" + type + "\n" + "ADJ=" + std::to_string(adj) + "\n" + "done in T seconds\n";
}

std::string firmwareUpdateOutput(unsigned blocks, uint32_t crcProg, uint32_t crcEeprom, bool ok,
                                 const std::string& backup)
{
    char sums[160];
    std::snprintf(sums, sizeof sums,
                  "\tChecksum of Firmware code = 0x%08X\n\tChecksum of User Configuration Data = 0x%08X\n",
                  crcProg, crcEeprom);
    return "\n" + backup + "Updating firmware, please wait " + std::string(blocks, '.') + "\nDone\n" + sums +
           (ok ? "\tFirmware update OK\n" : "\tFirmware update failed\n") +
           "Resetting adapter ... CPU reset.\nDone\ndone in T seconds\n";
}

std::string backupLine(DeviceHarness& h, const std::string& serial)
{
    return "Adapter setting backed up to " + h.backupDir() + "/" + serial + "-STAMP.dat\n";
}

std::string settingsUpdateOutput(uint32_t crc, const std::string& backup, bool verified)
{
    char line[64];
    std::snprintf(line, sizeof line, "Checksum of adapter setting = 0x%08X\n", crc);
    return "\n" + backup + "Clearing adapter setting, please wait ...  Done\n" +
           "Updating adapter setting, please wait ... " + std::string(64, '.') + " Done\n" + line +
           (verified ? "Adapter setting verified\n" : "Adapter setting verification failed, abort\n") +
           "done in T seconds\n";
}

uint32_t flashChecksum(sim::AdapterSim& adapter, uint32_t addr, uint32_t size)
{
    std::vector<uint8_t> range = flashRange(adapter.flashSnapshot(), addr, size);
    return sim::fwCrc32(range.data(), range.size());
}

void expectFullFirmwareUpdate(DeviceHarness& h, sim::LinkMode mode)
{
    sim::SimOptions options;
    options.link = mode;
    h.startSim(options);
    std::vector<uint8_t> settingsBefore = flashRange(h.adapter().flashSnapshot(), 0x1F000, 0x1000);
    std::vector<uint8_t> plain = patternBytes(0x1E000, 7);
    std::string file = h.path("full.fw");
    writeFile(file, makeFirmware(plain));

    ProcessResult r = h.runOnPort({"-f", file}, 240s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "Try to open USB device ... ");
    std::vector<uint8_t> flash = h.adapter().flashSnapshot();
    uint32_t crcProg = sim::fwCrc32(flash.data() + 0x1000, 0x1E000);
    uint32_t crcEeprom = sim::fwCrc32(flash.data() + 0x1F000, 0x1000);
    EXPECT_EQ(maskTimes(r.out), firmwareUpdateOutput(1920, crcProg, crcEeprom, true));
    EXPECT_TRUE(flashRange(flash, 0x1000, 0x1E000) == plain) << "the application area is not the plain image";
    EXPECT_TRUE(flashRange(flash, 0x1F000, 0x1000) == settingsBefore) << "the settings were not kept";
    EXPECT_EQ(h.commands("X"), std::vector<std::string>{"X00001000,1#"});
    EXPECT_EQ(h.commands("Y").size(), 2u * 1920u);
    EXPECT_EQ(h.adapter().resetCount(), 1u);
}

void expectSettingsUpdate(DeviceHarness& h, sim::LinkMode mode)
{
    sim::SimOptions options;
    options.link = mode;
    h.startSim(options);
    std::vector<uint8_t> image = settingsFileBytes(11);
    std::string file = h.path("user.dat");
    writeFile(file, image);
    std::vector<uint8_t> before = flashRange(h.adapter().flashSnapshot(), 0x1F000, 0x1000);

    ProcessResult r = h.runOnPort({"-u", file}, 60s);
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.err, "Try to open USB device ... ");
    EXPECT_EQ(maskTimes(r.out), settingsUpdateOutput(sim::fwCrc32(image.data(), image.size()), backupLine(h)));
    EXPECT_TRUE(flashRange(h.adapter().flashSnapshot(), 0x1F000, 0x1000) == image);
    EXPECT_EQ(h.commands("X"), std::vector<std::string>{"X0001F000,0#"});
    // Backup and verification each read the whole area.
    EXPECT_EQ(h.commands("w0001F").size(), 2u * 1024u);
    ASSERT_EQ(h.backups().size(), 1u);
    EXPECT_TRUE(readFile(h.backups()[0]) == before) << "the backup is not the area as it was";
}

std::string writeFirmware(DeviceHarness& h, const std::string& name, const std::vector<uint8_t>& plain,
                          const sim::MkfwOptions& options)
{
    std::string file = h.path(name);
    writeFile(file, makeFirmware(plain, options));
    return file;
}

size_t countCommands(DeviceHarness& h, const std::string& prefix)
{
    return h.commands(prefix).size();
}
