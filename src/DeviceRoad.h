// The device road: find the adapter, check its chip, run the action blocks
// in their fixed order, and release the client and the port factory on
// every way out.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "DriverValues.h"
#include "PortFactory.h"
#include "SambaXcon.h"

constexpr uint32_t kAcceptedChipId = 0x1001030B;
constexpr int kFallbackBaud = 115200;  // the plain serial speed handed to connect

// How the last device road's actions ended, for a front end that must not
// read it from the printed text.
enum class ActionOutcome {
    Completed,    // every block asked for completed (exit status 0)
    Refused,      // a check refused before anything on the adapter changed (status 1)
    Failed,       // no adapter, a monitor failure, or a change that went wrong (status 1)
    Interrupted,  // a signal stopped the run (status 130)
};
ActionOutcome lastActionOutcome();

// Runs the whole device road for `file` (null when no option needs one)
// with the platform's port factory; returns the run's exit status.
int deviceRoad(PelagoConfig& cfg, const char* file);

// The same over `factory`, which the road owns and destroys before the client.
int deviceRoad(PelagoConfig& cfg, const char* file, std::unique_ptr<PortFactoryBase> factory);

// A port the scan tried and could not connect to, and how its open went.
struct PortAttempt {
    std::string name;
    SerialPort::OpenResult result;
};

// Called once the adapter is connected and its chip accepted, before the
// first block, on that connection. `file` is the run's FILE ("" when it has
// none) and may be replaced by the hook; false ends the run as failed.
using ConnectedHook = bool (*)(Samba& samba, std::string& file);
// Sets the hook (null: none, the default); a front end sets it per run.
void setConnectedHook(ConnectedHook hook);

// Tries every port the factory lists until the client connects to one.
// True with `portName` naming it and the client holding the open port;
// false with `portName` empty. With `trace`, names each port tried on
// stdout. Each port that failed is added to `failed` when given.
// Exceptions from connect end the scan and propagate; so does Interrupted,
// thrown before the next port when an interruption arrived.
bool autoScan(Samba& samba, PortFactoryBase& factory, std::string& portName, bool trace = false,
              std::vector<PortAttempt>* failed = nullptr);
