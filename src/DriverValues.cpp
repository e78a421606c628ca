// The driver's module-level values, kept apart from the driver itself so
// that the platform-free core (the settings image, the firmware check)
// links without the device road.
#include "DriverValues.h"

#include <chrono>

#include "nvm.h"

uint8_t g_eeprom[kFlashImageSize];
uint8_t eeprom_dirty;

uint32_t g_loader_addr;
uint32_t g_fw_total_size;
uint32_t g_plain_cksum;
uint32_t g_enc_cksum;
uint32_t qvl_sigs;
uint16_t g_sw_ver;
uint16_t g_hw_ver[8];
uint8_t g_eeprom_handle;

PelagoConfig config;

namespace {
std::chrono::steady_clock::time_point start_time;
}  // namespace

void timer_start()
{
    start_time = std::chrono::steady_clock::now();
}

float timer_stop()
{
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start_time;
    return static_cast<float>(elapsed.count());
}
