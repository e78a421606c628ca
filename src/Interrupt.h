// A safe Ctrl-C: SIGINT, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break
// and closing the console) only set a flag while the device road runs;
// transfers look at it at each block boundary and stop there, so the road
// can release the port and say what state the adapter is left in. A second
// signal ends the program at once.
#pragma once

#include <exception>
#include <string>
#include <vector>

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

// What a failure or an interruption would leave on the adapter. The
// action blocks set it around what they change; the device road reports it.
enum class AdapterState {
    Unchanged,        // nothing written yet
    SettingsErased,   // settings area erased, or written but not yet verified
    FirmwarePartial,  // application area erased, or partly written (or failed its verification)
    Changed,          // an action completed a change; later ones did not run
    Reported,         // a failure already named its way back; the run ends with status 1
};
// Sets the state; `restoreFile` (SettingsErased only) is the file that
// puts the settings back: the backup made before the erase, else the file
// being written.
void setAdapterState(AdapterState state, const std::string& restoreFile = std::string());
// Sets FirmwarePartial for the firmware file `firmwareFile`. When the update
// erases the settings without writing them, `settingsRestore` is the file
// that puts them back ("" when none is known) and `settingsErased` is true.
void setFirmwarePartial(const std::string& firmwareFile, bool settingsErased,
                        const std::string& settingsRestore = std::string());
AdapterState adapterState();

// The port the run connected to, which every way back names.
void setAdapterPort(const std::string& port);
const std::string& adapterPort();

// What a way back restores, each with its own line.
enum class WayBackKind {
    FirmwareErased,   // -I -f: the application area was erased or partly written
    SettingsErased,   // -u: the settings area was erased or partly written
    NoFirmware,       // -I -f: -f refused an adapter whose application area is blank
    SettingsInvalid,  // -u: a read found an area that is no settings image
    SettingsBlank,    // -u: a read found an all-0xFF area
};

// One way back: what to run on which port with which file. `file` empty
// means no file is known; the command then names the word FILE.
struct WayBack {
    WayBackKind kind = WayBackKind::FirmwareErased;
    std::string port;
    std::string file;
};

// The command that takes the way back, quoted for this system's shell,
// e.g. "PelagoXcon -p /dev/ttyACM0 -I -f fw.bin"; a path in it as
// pasteable shows it.
std::string wayBackCommand(const WayBack& way);
// What the line of `way` says before its command, ending in "with: "; after
// a signal (`interrupted`) it starts with "Interrupted: ". A front end that
// offers a button instead of the command ends the line with that.
std::string wayBackState(const WayBack& way, bool interrupted);
// What the console prints for it (without the last line end); after a
// signal (`interrupted`) it starts with "Interrupted: ". When a path in
// the command holds a control and is shown escaped, a second line says to
// type it by hand.
std::string wayBackLine(const WayBack& way, bool interrupted);

// The ways back the adapter state calls for now, in the order they are to
// be taken: for Unchanged those held (holdWayBack); none for Changed and
// Reported.
std::vector<WayBack> pendingWaysBack();

// Prints the lines that end a failed or interrupted run on stderr: the
// ways back of the adapter state, or, after a signal with nothing to
// recover, the "Interrupted: " line saying whether anything changed.
// Each line printed is also kept for offeredWaysBack.
void reportAdapterState(bool interrupted);
// A write whose verification failed: prints its ways back now, right after
// the failure, and sets Reported, so the run ends with status 1 and no
// "Interrupted: " line whatever signal follows.
void reportFailedWrite();
// Prints the line of `way` on stderr, after what stdout holds so far, and
// keeps it for offeredWaysBack.
void offerWayBack(const WayBack& way);
// Keeps `way` (the area as a read found it) to be named only if the run
// ends with the adapter unchanged: a write that follows either puts the
// area right or names its own way back.
void holdWayBack(const WayBack& way);
// Every way back this run named since the handlers were installed, for a
// front end that shows buttons instead of commands.
const std::vector<WayBack>& offeredWaysBack();
