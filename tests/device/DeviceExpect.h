// Expected output of the tool and whole scenarios shared by several suites.
#pragma once

#include <string>

#include "DeviceHarness.h"
#include "HelpText.h"

bool endsWith(const std::string& text, const std::string& tail);
// The info block as printed, with its time masked by maskTimes.
std::string infoBlock(const std::string& sn, const std::string& pcb, const std::string& fw,
                      const std::string& rom, int pre0, int pre1, const std::string& type, int adj);
// stdout of a firmware update that writes `blocks` blocks and verifies,
// after the backup line `backup` when its settings byte erases the settings.
std::string firmwareUpdateOutput(unsigned blocks, uint32_t crcProg, uint32_t crcEeprom, bool ok,
                                 const std::string& backup = "");
// The line of a backup into h's backup directory, its stamp masked.
std::string backupLine(DeviceHarness& h, const std::string& serial = "QE012345");
// stdout of a settings write whose area then has checksum `crc`, after
// the backup line `backup`, verified or not.
std::string settingsUpdateOutput(uint32_t crc, const std::string& backup, bool verified = true);
// The monitor's checksum of a range of the adapter's flash now.
uint32_t flashChecksum(sim::AdapterSim& adapter, uint32_t addr, uint32_t size);

// Flashes a full 0x1E000-byte image over `mode` and checks output, status,
// the command log and the adapter's flash.
void expectFullFirmwareUpdate(DeviceHarness& h, sim::LinkMode mode);
// Writes a 4096-byte settings file over `mode` and checks the same.
void expectSettingsUpdate(DeviceHarness& h, sim::LinkMode mode);

// Writes a firmware file for `plain` made with mkfw into the scratch
// directory; returns its path.
std::string writeFirmware(DeviceHarness& h, const std::string& name, const std::vector<uint8_t>& plain,
                          const sim::MkfwOptions& options = {});
// How many commands of the adapter's log start with `prefix`.
size_t countCommands(DeviceHarness& h, const std::string& prefix);
