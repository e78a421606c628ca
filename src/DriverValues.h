// The run's configuration and the module-level values and timer that the
// driver and the action blocks share. Kept apart from the driver, which
// calls the roads: the roads and the blocks read these without depending
// on the driver.
#pragma once

#include <cstdint>
#include <string>

// The configuration of one run; the parser clears every flag that has an
// option row before parsing, so start values matter only for the rest.
class PelagoConfig {
public:
    virtual ~PelagoConfig() {}

    bool eeprom_read = false;     // -s: save the settings area into FILE
    bool eeprom_clear = false;    // no option: clear and re-format the settings area
    bool eeprom_write = false;    // -u: write FILE into the settings area
    bool firmware_write = false;  // -f: check FILE as firmware and write it
    bool lens_tuning = false;     // -l: offline lens tuning of FILE
    bool lens_display = false;    // -d: offline display of FILE
    bool version = false;         // -i: show the adapter's identity
    bool reset = false;           // -R: reset the adapter at the end
    bool force_update = false;    // -I: skip the installed-type test of -f
    bool help = false;            // -h
    bool port = false;            // -p: use portArg instead of scanning
    bool debug = false;           // no option: monitor trace output
    bool forceUsb = true;         // not read: a -p port is always created as USB
    std::string portArg;          // the -p argument as typed
};

extern PelagoConfig config;
// Values a firmware file's check leaves for the update, and the transfer
// target the settings blocks set; all zero at program start.
extern uint32_t g_loader_addr;    // device flash address the running transfer writes to
extern uint32_t g_fw_total_size;  // bytes the running transfer writes
extern uint32_t g_plain_cksum;    // monitor checksum the written firmware must have
extern uint32_t g_enc_cksum;      // byte sum of the firmware file's payload
extern uint32_t qvl_sigs;         // signature bytes of the firmware file, as read
extern uint16_t g_sw_ver;         // firmware version from the file
extern uint16_t g_hw_ver[8];      // PCB versions the firmware file accepts
extern uint8_t g_eeprom_handle;   // how the update treats the settings area

// Starts the action timer.
void timer_start();
// Seconds since timer_start, for "done in %5.3f seconds\n".
float timer_stop();
