#include "Interrupt.h"

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#endif

#include "FailureLine.h"
#include "Printable.h"

namespace {

// The only thing a handler touches.
volatile std::sig_atomic_t g_interrupted = 0;

AdapterState g_state = AdapterState::Unchanged;
std::string g_restoreFile;   // what restores the settings
std::string g_firmwareFile;  // what restores the firmware
bool g_settingsErasedToo = false;
std::string g_port;
std::vector<WayBack> g_offered;
std::vector<WayBack> g_held;  // due only if the run ends with the adapter unchanged

#ifdef _WIN32
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';  // a POSIX shell takes '\\' as an escape
#endif

// Characters a shell takes literally, so a word of only these needs no quotes.
bool _plainWordChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == kPathSeparator || c == '.' || c == '_' || c == '-' || c == ':' || c == '+' || c == ',' ||
           c == '@';
}

// `word` as the user can paste it into this system's shell.
std::string _shellWord(const std::string& word)
{
    bool plain = !word.empty();
    for (char c : word)
        plain = plain && _plainWordChar(c);
    if (plain)
        return word;
#ifdef _WIN32
    return "\"" + word + "\"";
#else
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
#endif
}

#ifdef _WIN32

// Windows ends the process about 5 s after a console-close event, or as
// soon as its handler returns: the handler waits for the road to stop at a
// block boundary, a little less than that.
constexpr DWORD kCloseGraceMs = 4500;

// Set once the road has stopped and released the port (manual reset).
HANDLE g_roadStopped = nullptr;

BOOL WINAPI _onConsoleEvent(DWORD event)
{
    if (event == CTRL_CLOSE_EVENT) {
        // Returning ends the process, so holding the handler is the only way
        // to let the block in progress finish.
        g_interrupted = 1;
        if (g_roadStopped != nullptr)
            WaitForSingleObject(g_roadStopped, kCloseGraceMs);
        return TRUE;
    }
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    if (g_interrupted)
        return FALSE;  // the default handler ends the program
    g_interrupted = 1;
    return TRUE;
}

#else

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

void _onSignal(int signal)
{
    if (g_interrupted) {
        // The second one: the default action, now (the signal is blocked
        // inside its handler and is delivered as soon as this returns).
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    g_interrupted = signal;
}

#endif

} // namespace

InterruptHandlers::InterruptHandlers()
{
    g_interrupted = 0;
    setAdapterState(AdapterState::Unchanged);
    g_port.clear();
    g_offered.clear();
    g_held.clear();
#ifdef _WIN32
    // Never closed: a close handler may still be waiting on it at exit.
    if (g_roadStopped == nullptr)
        g_roadStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    else
        ResetEvent(g_roadStopped);
    SetConsoleCtrlHandler(_onConsoleEvent, TRUE);
#else
    struct sigaction action{};
    action.sa_handler = _onSignal;
    // One handler at a time: a second signal then always finds the flag set.
    sigemptyset(&action.sa_mask);
    for (int signal : kSignals)
        sigaddset(&action.sa_mask, signal);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read or drain returns early
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        sigaction(kSignals[i], &action, &g_previous[i]);
#endif
}

InterruptHandlers::~InterruptHandlers()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(_onConsoleEvent, FALSE);
    // What the road printed must be out before a waiting close handler
    // lets the process end.
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_roadStopped != nullptr)
        SetEvent(g_roadStopped);
#else
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i)
        sigaction(kSignals[i], &g_previous[i], nullptr);
#endif
}

bool interruptRequested()
{
    return g_interrupted != 0;
}

void stopIfInterrupted()
{
    if (interruptRequested())
        throw Interrupted();
}

void setAdapterState(AdapterState state, const std::string& restoreFile)
{
    g_state = state;
    g_restoreFile = restoreFile;
    g_firmwareFile.clear();
    g_settingsErasedToo = false;
}

void setFirmwarePartial(const std::string& firmwareFile, bool settingsErased, const std::string& settingsRestore)
{
    setAdapterState(AdapterState::FirmwarePartial, settingsRestore);
    g_firmwareFile = firmwareFile;
    g_settingsErasedToo = settingsErased;
}

AdapterState adapterState()
{
    return g_state;
}

void setAdapterPort(const std::string& port)
{
    g_port = port;
}

const std::string& adapterPort()
{
    return g_port;
}

namespace {

constexpr const char* kTypeByHand =
    "Type the path in that command by hand: it holds control characters, shown as \\xHH";

// The command of `way`; `escaped` is set when a word in it had to be
// escaped and cannot be pasted as shown.
std::string _command(const WayBack& way, bool& escaped)
{
    bool firmware = way.kind == WayBackKind::FirmwareErased || way.kind == WayBackKind::NoFirmware;
    std::string file = way.file.empty() ? std::string("FILE") : pasteable(_shellWord(way.file), escaped);
    // The settings just erased have no file of the user's to name: say what one is.
    if (way.file.empty() && way.kind == WayBackKind::SettingsErased)
        file += " (a setting file saved earlier)";
    return "PelagoXcon -p " + pasteable(_shellWord(way.port), escaped) + (firmware ? " -I -f " : " -u ") + file;
}

} // namespace

std::string wayBackCommand(const WayBack& way)
{
    bool escaped = false;
    return _command(way, escaped);
}

std::string wayBackState(const WayBack& way, bool interrupted)
{
    bool escaped = false;
    std::string state;
    switch (way.kind) {
    case WayBackKind::FirmwareErased:
        state = "The adapter's firmware is erased or partly written; write it again with: ";
        break;
    case WayBackKind::SettingsErased:
        state = "The adapter's settings are erased or partly written; restore them with: ";
        break;
    case WayBackKind::NoFirmware:
        state = "The adapter has no firmware (an interrupted update?); install " +
                (way.file.empty() ? std::string("FILE") : pasteable(way.file, escaped)) + " anyway with: ";
        break;
    case WayBackKind::SettingsInvalid:
        state = way.file.empty() ? "The adapter's settings area holds no valid settings (an interrupted write?); "
                                   "restore a setting file saved earlier with: "
                                 : "The adapter's settings area holds no valid settings (an interrupted write?); "
                                   "restore the newest backup of this adapter with: ";
        break;
    case WayBackKind::SettingsBlank:
        state = way.file.empty() ? "The adapter's settings area is blank; restore a setting file saved earlier with: "
                                 : "The adapter's settings area is blank; restore the newest backup of this adapter with: ";
        break;
    }
    // After a signal the same words follow "Interrupted: ".
    if (interrupted) {
        state[0] = 't';
        state = "Interrupted: " + state;
    }
    return state;
}

std::string wayBackLine(const WayBack& way, bool interrupted)
{
    bool escaped = false;
    std::string line = wayBackState(way, interrupted) + _command(way, escaped);
    return escaped ? line + "\n" + kTypeByHand : line;
}

std::vector<WayBack> pendingWaysBack()
{
    std::vector<WayBack> ways;
    if (g_state == AdapterState::Unchanged)
        ways = g_held;
    if (g_state == AdapterState::FirmwarePartial)
        ways.push_back({WayBackKind::FirmwareErased, g_port, g_firmwareFile});
    if (g_state == AdapterState::SettingsErased || (g_state == AdapterState::FirmwarePartial && g_settingsErasedToo))
        ways.push_back({WayBackKind::SettingsErased, g_port, g_restoreFile});
    return ways;
}

void offerWayBack(const WayBack& way)
{
    g_offered.push_back(way);
    printErrorLine(wayBackLine(way, false));
}

void holdWayBack(const WayBack& way)
{
    g_held.push_back(way);
}

void reportAdapterState(bool interrupted)
{
    std::vector<WayBack> ways = pendingWaysBack();
    for (const WayBack& way : ways) {
        g_offered.push_back(way);
        printErrorLine(wayBackLine(way, interrupted));
    }
    if (!ways.empty() || !interrupted || g_state == AdapterState::Reported)
        return;
    keepFailureLine(g_state == AdapterState::Changed
                        ? "Interrupted: the adapter was changed as asked; the actions after that were not run"
                        : "Interrupted: nothing was changed on the adapter");
    printErrorLine(lastFailureLine());
}

void reportFailedWrite()
{
    reportAdapterState(false);
    setAdapterState(AdapterState::Reported);
}

const std::vector<WayBack>& offeredWaysBack()
{
    return g_offered;
}
