// A safe Ctrl-C: SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break
// and closing the console) only set a flag while the device road runs;
// transfers look at it at each block boundary and stop there, so the road
// can release the port and say what state the adapter is left in. A second
// signal ends the program at once.
#pragma once

#include <exception>
#include <string>

// The exit status of a run ended by an interruption (128 + SIGINT, as a
// shell reports a program killed by Ctrl-C).
constexpr int kInterruptedStatus = 130;

// Thrown by stopIfInterrupted; the device road catches it, releases the
// port and reports the adapter's state.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "Interrupted"; }
};

// Installs the handlers for as long as it lives and clears the flag;
// the previous handlers come back when it goes.
class InterruptHandlers {
public:
    InterruptHandlers();
    ~InterruptHandlers();
    InterruptHandlers(const InterruptHandlers&) = delete;
    InterruptHandlers& operator=(const InterruptHandlers&) = delete;
};

// Whether an interruption arrived since the handlers were installed.
bool interruptRequested();
// Throws Interrupted when one arrived; called at every block boundary.
void stopIfInterrupted();

// What an interruption would leave on the adapter. The action blocks set
// it around what they change; the device road reports it.
enum class AdapterState {
    Unchanged,        // nothing written yet
    SettingsErased,   // settings area erased, or written but not yet verified
    FirmwarePartial,  // application area erased, or partly written
    Changed,          // an action completed a change; later ones did not run
};
// Sets the state; `restoreFile` (SettingsErased only) is the file that
// puts the settings back: the backup made before the erase, else the file
// being written.
void setAdapterState(AdapterState state, const std::string& restoreFile = std::string());
AdapterState adapterState();

// The line that tells the user, after an interruption, what state the
// adapter is in and what to run (without its line end). `port` is the
// port the run connected to.
std::string interruptedMessage(const std::string& port);
