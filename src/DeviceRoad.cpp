#include "DeviceRoad.h"

#include <cstdio>
#include <exception>

#include "ActionBlock.h"
#include "AdapterInfo.h"
#include "FailureLine.h"
#include "FirmwareUpdate.h"
#include "Interrupt.h"
#include "PlatformPortFactory.h"
#include "Printable.h"
#include "SettingsTransfer.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;

ActionOutcome g_outcome = ActionOutcome::Completed;
ConnectedHook g_connectedHook = nullptr;

// stderr is unbuffered while stdout may not be: keep the two in the order
// they were written for a reader of both.
void _reportError(const char* text)
{
    std::fflush(stdout);
    std::fputs(text, stderr);
}

bool _connectNamedPort(Samba& samba, PortFactoryBase& factory, const std::string& name)
{
    // Would otherwise open the device directory itself and blame the line.
    if (name.empty()) {
        _reportError("No port name was given\n");
        return false;
    }
    _reportError("Try to open USB device ... ");
    if (samba.connect(factory.create(name, true), kFallbackBaud))
        return true;
    std::fflush(stdout);
    printFailure(stderr, "No device found on %s\n", printable(name).c_str());
    std::string reason = factory.explainFailure(name, samba.lastOpenResult());
    if (!reason.empty())
        printFailure(stderr, "%s\n", printable(reason).c_str());
    return false;
}

// One line per port the scan tried, so the user sees what stood in the way.
void _reportScanFailures(PortFactoryBase& factory, const std::vector<PortAttempt>& failed)
{
    if (failed.empty())
        _reportError("No serial ports were found\n");
    for (const PortAttempt& port : failed) {
        std::string reason = factory.explainFailure(port.name, port.result);
        if (reason.empty())
            std::fprintf(stderr, "  %s\n", printable(port.name).c_str());
        else
            std::fprintf(stderr, "  %s: %s\n", printable(port.name).c_str(), printable(reason).c_str());
    }
}

bool _scanPorts(Samba& samba, PortFactoryBase& factory, bool trace, std::string& name)
{
    _reportError("Try to scan USB devices ... ");
    std::vector<PortAttempt> failed;
    if (!autoScan(samba, factory, name, trace, &failed)) {
        _reportError("Auto scan for device failed\nTry specifying a serial port with the '-p' option\n");
        _reportScanFailures(factory, failed);
        return false;
    }
    std::printf("Quorvane adapter found on %s\n", printable(name).c_str());
    return true;
}

bool _chipAccepted(Samba& samba)
{
    uint32_t id = samba.chipId();
    if (id == kAcceptedChipId)
        return true;
    std::fflush(stdout);
    printFailure(stderr, "Hardware failuser, ID %08x is not supported\n", static_cast<unsigned>(id));
    return false;
}

// Whether a block that was asked for aborted; an interruption before it
// starts ends the run there.
template <typename Block>
bool _aborted(bool asked, Block block)
{
    if (!asked)
        return false;
    stopIfInterrupted();
    return block() == BlockResult::Aborted;
}

// The action blocks in their fixed order; the first abort ends the run.
int _runBlocks(const PelagoConfig& cfg, Samba& samba, const char* file)
{
    if (_aborted(cfg.eeprom_clear, [&] { return settingsClear(samba); }) ||
        _aborted(cfg.eeprom_write, [&] { return settingsWrite(samba, file); }) ||
        _aborted(cfg.version, [&] { return adapterInfo(samba); }) ||
        _aborted(cfg.eeprom_read, [&] { return settingsSave(samba, file); }) ||
        _aborted(cfg.firmware_write, [&] { return firmwareUpdate(samba, file, cfg.force_update); }) ||
        _aborted(cfg.reset, [&] { return adapterReset(samba); })) {
        showProgress();
        return kStatusFailed;
    }
    return kStatusOk;
}

// `port` receives the port connected to.
int _connectAndAct(const PelagoConfig& cfg, Samba& samba, PortFactoryBase& factory, const char* file,
                   std::string& port)
{
    if (cfg.debug)
        samba.setDebug(true);
    port = cfg.portArg;
    bool connected = cfg.port ? _connectNamedPort(samba, factory, cfg.portArg)
                              : _scanPorts(samba, factory, cfg.debug, port);
    if (!connected || !_chipAccepted(samba))
        return kStatusFailed;
    setAdapterPort(port);
    std::string chosen = file ? file : "";
    if (g_connectedHook && !g_connectedHook(samba, chosen))
        return kStatusFailed;
    int status = _runBlocks(cfg, samba, file || !chosen.empty() ? chosen.c_str() : nullptr);
    // A block that refused left the adapter as it was; any other end is a failure.
    if (status != kStatusOk && adapterState() == AdapterState::Unchanged)
        g_outcome = ActionOutcome::Refused;
    return status;
}

// After the port is released: the failure thrown (null for none), then
// the adapter's state and how to recover it. A failure that named its way
// back already stays a failure whatever signal followed.
int _endRun(int status, const char* failure)
{
    bool interrupted = interruptRequested() && adapterState() != AdapterState::Reported;
    if (failure != nullptr && !interrupted) {
        std::fflush(stdout);
        printFailure(stderr, "\n%s\n", failure);
    }
    if (interrupted) {
        _reportError("\n");
        status = kInterruptedStatus;
        g_outcome = ActionOutcome::Interrupted;
    } else if (failure != nullptr || status != kStatusOk) {
        status = kStatusFailed;
        if (g_outcome != ActionOutcome::Refused)
            g_outcome = ActionOutcome::Failed;
    }
    if (status != kStatusOk)
        reportAdapterState(interrupted);
    return status;
}

} // namespace

void setConnectedHook(ConnectedHook hook)
{
    g_connectedHook = hook;
}

bool autoScan(Samba& samba, PortFactoryBase& factory, std::string& portName, bool trace,
              std::vector<PortAttempt>* failed)
{
    for (portName = factory.begin(); portName != factory.end(); portName = factory.next()) {
        stopIfInterrupted();
        if (trace)
            std::printf("Trying to connect on %s\n", printable(portName).c_str());
        if (samba.connect(factory.create(portName), kFallbackBaud))
            return true;
        if (failed)
            failed->push_back({portName, samba.lastOpenResult()});
    }
    portName = factory.end();
    return false;
}

int deviceRoad(PelagoConfig& cfg, const char* file, std::unique_ptr<PortFactoryBase> factory)
{
    InterruptHandlers interrupts;
    std::unique_ptr<Samba> samba;
    std::string port;
    // The factory goes first, then the client, which closes the port (and
    // clears its exclusive flag and lock).
    auto release = [&] {
        factory.reset();
        samba.reset();
    };
    g_outcome = ActionOutcome::Completed;
    clearFailureLine();
    try {
        samba = std::make_unique<Samba>();
        int status = _connectAndAct(cfg, *samba, *factory, file, port);
        release();
        showProgress();
        return _endRun(status, nullptr);
    } catch (const std::exception& e) {
        release();
        // A wait cut short by the signal fails like a silent monitor: _endRun
        // then reports the interruption instead.
        return _endRun(kStatusFailed, e.what());
    } catch (...) {
        release();
        return _endRun(kStatusFailed, "Unhandled exception");
    }
}

ActionOutcome lastActionOutcome()
{
    return g_outcome;
}

int deviceRoad(PelagoConfig& cfg, const char* file)
{
    return deviceRoad(cfg, file, std::make_unique<PortFactory>());
}
