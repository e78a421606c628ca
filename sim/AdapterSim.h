// The virtual adapter: plays the adapter's boot monitor on a pseudo-terminal
// so that the real tool can be run against it without hardware. Runs on its
// own thread; the program adapter-sim and the tests both drive it from here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimOptions.h"

namespace sim {

class AdapterSimImpl;

class AdapterSim {
public:
    static constexpr uint32_t kFlashSize = sim::kFlashSize;
    static constexpr uint32_t kRamBase = sim::kRamBase;
    static constexpr uint32_t kRamSize = sim::kRamSize;

    explicit AdapterSim(SimOptions options = {});
    ~AdapterSim();  // stops and saves
    AdapterSim(const AdapterSim&) = delete;
    AdapterSim& operator=(const AdapterSim&) = delete;

    // Loads the state file, opens the pty and starts serving on a thread;
    // returns once the thread serves. False with a reason in `error` when
    // the state file is unusable or no pty could be had.
    bool start(std::string* error = nullptr);
    // Stops serving, closes the pty and saves the state file. Idempotent.
    void stop();

    // The slave side's path (e.g. /dev/pts/7); empty before start().
    std::string ptyPath() const;
    // True while the serving thread runs.
    bool serving() const;

    // A copy of the 128 KiB flash at this moment.
    std::vector<uint8_t> flashSnapshot() const;
    // Every command received so far, one per entry, as sent (e.g. "X00001000,1#");
    // bytes outside printable ASCII appear as \xNN.
    std::vector<std::string> commandLog() const;
    // Whether / how often the reset write W E000ED0C,05FA0004 arrived.
    bool resetSeen() const;
    unsigned resetCount() const;
    // How many times a tool opened the slave side (counted when first data
    // arrives after an open is noticed).
    unsigned sessionCount() const;
    // The reply delay really imposed so far (the pauses as they took), in microseconds.
    uint64_t imposedDelayMicros() const;

private:
    std::unique_ptr<AdapterSimImpl> _impl;
};

}  // namespace sim
