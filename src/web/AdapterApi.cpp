#include "AdapterApi.h"

#include <emscripten/emscripten.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ActionBlock.h"
#include "AdapterInfo.h"
#include "DeviceRoad.h"
#include "EditorApi.h"
#include "FailureLine.h"
#include "FirmwareUpdate.h"
#include "Interrupt.h"
#include "PelagoXcon.h"
#include "Printable.h"
#include "Progress.h"
#include "SettingsBackup.h"
#include "SettingsEditor.h"
#include "SettingsFile.h"
#include "SettingsOpen.h"
#include "WebPortFactory.h"
#include "WebSerialPort.h"
#include "nvm.h"

namespace {

constexpr const char* kProgramName = "PelagoXcon";
constexpr const char* kBackupDir = "/backups";
constexpr mode_t kBackupDirMode = 0700;
constexpr const char* kBackupExtension = ".dat";
constexpr int kReasonSize = 512;
constexpr int kNameSize = 256;
constexpr int kStatusOk = 0;
constexpr int kStatusFailed = 1;
constexpr const char* kNoFile = "FILE";  // the -s argument before the adapter names it
constexpr const char* kNoFailureLine = "Failed";  // a run that failed before saying anything
constexpr const char* kWriteDeclined = "Cancelled: nothing was written to the adapter";
// adapter_set_link's values: the page's "Link" choices in their order.
constexpr int kLinkUsb = 1;
constexpr int kLinkSerial = 2;

std::string g_text;      // the last string handed out
std::string g_readPath;  // what the last adapter_read_settings saved

// What the last action left for the page to recover with.
AdapterOutcome g_outcome = ADAPTER_COMPLETED;
int g_wayBack = 0;
std::string g_wayBackFile;     // a name in kBackupDir
std::string g_recoveryText;
std::string g_readSerial;      // the serial number read with the area
bool g_readLogged = false;     // the read's hook logged its command
AdapterConnection g_connection = ADAPTER_NOT_CONNECTED;
std::string g_connectedTo;     // the serial number of the adapter connected
std::string g_identityText;    // what -i printed of that adapter
bool g_writeDeclined = false;  // the question before a backup's write was answered no
// Backups in kBackupDir the browser could not store, only download: their
// way back goes through the user's downloads, not the Backups list.
std::set<std::string> g_downloadedOnly;

const char* _handOut(std::string text)
{
    g_text = std::move(text);
    return g_text.c_str();
}

} // namespace

// The page's keeper of a backup: the name it is kept under written to
// `kept` and "" to `reason` once the copy is kept, else why not; 1 when
// the copy is only a download the user has said arrived, else 0.
EM_ASYNC_JS(int, pelago_keep_backup,
            (const char* path, const uint8_t* data, size_t size, char* kept, int keptSize, char* reason,
             int reasonSize), {
    const keep = Module["pelagoKeepBackup"];
    let answer = { name: "", reason: "this page keeps no backups" };
    if (keep) {
        try {
            answer = await keep(UTF8ToString(path), HEAPU8.slice(data, data + size));
        } catch (e) {
            answer = { name: "", reason: String((e && e.message) || e) };
        }
    }
    stringToUTF8(answer.name || "", kept, keptSize);
    stringToUTF8(answer.reason || "", reason, reasonSize);
    return answer.downloaded ? 1 : 0;
});

// The page's question before a backup is written; 1 for yes.
EM_ASYNC_JS(int, pelago_ask_write_backup, (const char* question), {
    const ask = Module["pelagoAskWriteBackup"];
    return ask && await ask(UTF8ToString(question)) ? 1 : 0;
});

EM_JS(void, pelago_log_command, (const char* line), {
    const log = Module["pelagoCommand"];
    if (log) log(UTF8ToString(line));
});

EM_JS(void, pelago_report_progress, (const char* label, uint32_t done, uint32_t total), {
    const report = Module["pelagoProgress"];
    if (report) report(UTF8ToString(label), done, total);
});

namespace {

// Paths here are the module's own, '/'-separated; <filesystem> would
// cost the page more than the rest of this file.
std::string _dirName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string _baseName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// The name without its extension: "a.dat" gives "a", ".dat" stays.
std::string _stem(const std::string& path)
{
    std::string name = _baseName(path);
    size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Another tab may have stored a backup of the same name meanwhile; the
// browser then keeps this one under the next free name, and so does the
// module's copy, so every line names what is stored.
bool _keepBackup(std::string& path, const uint8_t* data, size_t size, std::string* reason)
{
    char kept[kNameSize] = "";
    char why[kReasonSize] = "";
    const bool downloaded = pelago_keep_backup(path.c_str(), data, size, kept, sizeof kept, why, sizeof why);
    *reason = why;
    if (!reason->empty())
        return false;
    if (*kept && _baseName(path) != kept) {
        std::string moved = std::string(kBackupDir) + "/" + kept;
        if (std::rename(path.c_str(), moved.c_str()) == 0)
            path = moved;
    }
    if (downloaded)
        g_downloadedOnly.insert(_baseName(path));
    return true;
}

void _reportProgress(const char* label, uint32_t done, uint32_t total)
{
    pelago_report_progress(label, done, total);
}

// What an action needs: backups in the module's file system (the page
// keeps its own copies of them), the page's keeper and the page's bar.
// Done before each action rather than at load: the C runtime's
// environment is built at start-up, in no set order with our own.
void _setUp()
{
    mkdir(kBackupDir, kBackupDirMode);  // there already after the first action
    setenv(kBackupDirVariable, kBackupDir, 1);
    setBackupKeeper(_keepBackup);
    setProgressObserver(_reportProgress);
}

// Heads the Log's run with what a console user would type for it:
// `options` after "-p PORT", an argument with blanks in double quotes.
void _logCommand(const std::vector<std::string>& options)
{
    std::string line = std::string(kProgramName) + " -p";
    std::vector<std::string> args = {webSerialPortName()};
    args.insert(args.end(), options.begin(), options.end());
    for (const std::string& arg : args)
        line += arg.find_first_of(" \t") == std::string::npos ? " " + arg : " \"" + arg + "\"";
    std::fflush(stdout);
    std::fflush(stderr);
    pelago_log_command(line.c_str());
}

void _clearOutcome()
{
    g_outcome = ADAPTER_FAILED;
    g_wayBack = 0;
    g_wayBackFile.clear();
    g_recoveryText.clear();
    g_writeDeclined = false;
    clearFailureLine();
}

AdapterOutcome _roadOutcome()
{
    switch (lastActionOutcome()) {
    case ActionOutcome::Completed: return ADAPTER_COMPLETED;
    case ActionOutcome::Refused: return ADAPTER_REFUSED;
    case ActionOutcome::Interrupted: return ADAPTER_INTERRUPTED;
    case ActionOutcome::Failed: break;
    }
    return ADAPTER_FAILED;
}

void _collectWaysBack();

// Runs the console's driver with `options` after "-p PORT", keeping the
// lens editor's image, which the driver blanks at its start. `hook` runs
// on the connection (DeviceRoad.h); with `hookLogs` the hook logs the
// command, else it is logged first.
int _run(std::vector<std::string> options, ConnectedHook hook = nullptr, bool hookLogs = false)
{
    _clearOutcome();
    std::string port = webSerialPortName();
    if (port.empty())
        return kStatusFailed;
    if (!hookLogs)
        _logCommand(options);
    std::vector<std::string> args = {kProgramName, "-p", port};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    _setUp();
    setConnectedHook(hook);
    std::vector<uint8_t> editorImage(g_eeprom, g_eeprom + kFlashImageSize);
    int status = pelagoMain(static_cast<int>(args.size()), argv.data());
    std::memcpy(g_eeprom, editorImage.data(), kFlashImageSize);
    setConnectedHook(nullptr);
    g_outcome = g_writeDeclined ? ADAPTER_REFUSED : _roadOutcome();
    // A write or a firmware update may have changed the settings area, even
    // when it failed; what the editor read no longer stands for it.
    const std::string& action = options.front();
    if ((action == "-u" || action == "-f" || action == "-I") && g_outcome != ADAPTER_REFUSED)
        editor_forget_adapter();
    // The console names a way back only where one is due, completed runs
    // included (an adapter without firmware after -i, an area -f erased).
    _collectWaysBack();
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
}

// When the backup `parsed` was made, in the page's own time zone as
// "YYYY-MM-DD HH:MM:SS"; a stamp that is no date is shown as it stands.
std::string _shownStamp(const SettingsBackupName& parsed)
{
    const std::string& stamp = parsed.stamp;
    std::time_t made = 0;
    char shown[sizeof "YYYY-MM-DD HH:MM:SS"] = "";
    const std::tm* local = settingsBackupInstant(parsed, made) ? std::localtime(&made) : nullptr;
    if (local != nullptr && std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M:%S", local) != 0)
        return shown;
    return stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" + stamp.substr(6, 2) + " " + stamp.substr(8, 2) +
           ":" + stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

// " Its lenses: 24-70mm, 50mm." for the backup `name` in kBackupDir, as
// the lens editor would list them; "" when it cannot be read or holds no
// lens list. The editor's image is kept, as across an action.
std::string _backupLenses(const std::string& name)
{
    FilePtr in(std::fopen((std::string(kBackupDir) + "/" + name).c_str(), "rb"));
    uint8_t bytes[kSettingsFileSize];
    if (!in || std::fread(bytes, 1, sizeof bytes, in.get()) != sizeof bytes)
        return "";
    std::vector<uint8_t> editorImage(g_eeprom, g_eeprom + kFlashImageSize);
    SettingsEditor backup;
    const bool listed = backup.open(bytes, sizeof bytes, name) == SettingsOpened::Current;
    std::memcpy(g_eeprom, editorImage.data(), kFlashImageSize);
    if (!listed)
        return "";
    if (backup.lensCount() == 0)
        return " It holds no lens.";
    std::string lenses = " Its lenses: ";
    for (int lens = 1; lens <= backup.lensCount(); ++lens)
        lenses += (lens > 1 ? ", " : "") + backup.focalLength(lens);
    return lenses + ".";
}

std::string _pressWrite(const std::string& name)
{
    return "press \"Write " + name + " to adapter\"";
}

// A backup the browser could not store is back in the page only when the
// user opens their download of it.
std::string _openDownloaded(const std::string& name)
{
    return "open the downloaded backup " + name +
           " with \"Open settings file\", then press \"Write settings to adapter\"";
}

constexpr const char* kPressInstall = "press \"Install firmware anyway\"";
constexpr const char* kPressWriteSettings = "press \"Write settings to adapter\"";
constexpr const char* kChooseFirmware = "choose it as \"Firmware file\", then press \"Install firmware anyway\"";

// Whether `path` is one of the page's backups (listed when stored, a
// download only when not).
bool _isPageBackup(const std::string& path)
{
    return _dirName(path) == kBackupDir;
}

// The ways back the console's driver named in this run, each with the
// button that takes it where the console prints a command; the console
// decides which are due, so the page and the console never disagree.
void _collectWaysBack()
{
    bool interrupted = g_outcome == ADAPTER_INTERRUPTED;
    for (const WayBack& way : offeredWaysBack()) {
        std::string press;
        if (way.kind == WayBackKind::NoFirmware && way.file.empty()) {
            // Connect found it: the install waits for a file to be chosen.
            press = kChooseFirmware;
            g_wayBack |= ADAPTER_WAY_INSTALL_FIRMWARE;
        } else if (way.kind == WayBackKind::FirmwareErased || way.kind == WayBackKind::NoFirmware) {
            press = kPressInstall;
            g_wayBack |= ADAPTER_WAY_INSTALL_FIRMWARE;
        } else if (!way.file.empty() && _isPageBackup(way.file)) {
            const std::string name = _baseName(way.file);
            if (g_downloadedOnly.count(name)) {
                press = _openDownloaded(name);
            } else {
                g_wayBackFile = name;
                press = _pressWrite(g_wayBackFile);
                g_wayBack |= ADAPTER_WAY_WRITE_BACKUP;
            }
        } else {
            press = kPressWriteSettings;
        }
        g_recoveryText += wayBackState(way, interrupted) + press + "\n";
    }
}

// Read's hook: names the backup after the adapter on this connection, not
// one connected earlier, and heads the Log with the command it runs.
bool _nameReadAfterAdapter(Samba& samba, std::string& file)
{
    g_readSerial = adapterSerialNumber(samba);
    std::string tried, reason;
    std::string path =
        claimBackupPath(kBackupDir, settingsBackupStem(g_readSerial, std::time(nullptr)), tried, reason);
    _logCommand({"-s", path.empty() ? tried : path});
    g_readLogged = true;
    if (path.empty()) {
        printFailure(stdout, "Failed to create file %s , abort\n", printable(tried).c_str());
        printSaveFailureReason(reason);
        return false;
    }
    file = path;
    g_readPath = path;
    return true;
}

// The question before the backup `name` is written to the adapter whose
// serial number is `serial`: its date and lenses, and whether it is of
// another adapter.
std::string _writeBackupQuestion(const std::string& name, const std::string& serial)
{
    std::string adapter = printable(serial);
    std::string shown = printable(name);
    std::string lenses = _backupLenses(name);
    SettingsBackupName parsed;
    if (!parseSettingsBackupName(name, parsed))
        return "Write " + shown + " to the adapter " + adapter +
               "? Its name does not say which adapter it is of, nor when it was made." + lenses;
    std::string when = _shownStamp(parsed);
    if (parsed.serial == kUnknownBackupSerial)
        return "Write " + shown + " to the adapter " + adapter + "? It is a backup of " + when +
               " from an adapter without a readable serial number, which may be another one: its settings would "
               "replace this adapter's own." + lenses;
    if (parsed.serial == settingsBackupSerial(serial))
        return "Write " + shown + " to the adapter " + adapter + "? It is this adapter's backup of " + when + "." +
               lenses + " The adapter's settings are backed up again first.";
    return "Write " + shown + " to the adapter " + adapter + "? This backup is of another adapter, " +
           printable(parsed.serial) + ", made " + when + ": its settings would replace this adapter's own." + lenses;
}

// When the backup `name` was made, for ordering: its instant, then its N,
// as the console picks the newest; a name that is no backup's comes first.
std::pair<std::time_t, unsigned long> _madeAt(const char* name)
{
    SettingsBackupName parsed;
    std::time_t made = 0;
    if (!parseSettingsBackupName(name, parsed) || !settingsBackupInstant(parsed, made))
        return {std::numeric_limits<std::time_t>::min(), 0};
    return {made, parsed.counter};
}

// A backup's write asks first, on its own connection: the adapter behind
// the port may not be the one Connect found.
bool _askBeforeWritingBackup(Samba& samba, std::string& file)
{
    std::string question = _writeBackupQuestion(_baseName(file), adapterSerialNumber(samba));
    if (pelago_ask_write_backup(question.c_str()))
        return true;
    g_writeDeclined = true;
    printFailure(stdout, "\n%s\n", kWriteDeclined);  // the connect line has no line end yet
    return false;
}

} // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void adapter_set_link(int link)
{
    switch (link) {
    case kLinkUsb: webSerialSetLink(WebLink::Usb); break;
    case kLinkSerial: webSerialSetLink(WebLink::Serial); break;
    default: webSerialSetLink(WebLink::Automatic); break;
    }
}

EMSCRIPTEN_KEEPALIVE const char* adapter_port_name()
{
    return _handOut(webSerialPortName());
}

EMSCRIPTEN_KEEPALIVE const char* adapter_backup_dir()
{
    return kBackupDir;
}

EMSCRIPTEN_KEEPALIVE int adapter_connect()
{
    int status = _run({"-i"});
    g_connectedTo.clear();
    g_identityText.clear();
    if (webSerialPortName().empty()) {
        g_connection = ADAPTER_NO_PORT_CHOSEN;
    } else if (status == kStatusOk) {
        g_connection = ADAPTER_CONNECTED;
        g_connectedTo = lastAdapterSerialNumber();
        for (const std::string& line : adapterIdentityLines(lastAdapterIdentity()))
            g_identityText += (g_identityText.empty() ? "" : "\n") + line;
    } else {
        // The browser refusing the port is told apart from a port that
        // opened and stayed silent: the two need different help.
        g_connection = webSerialLastOpenResult() == SerialPort::OpenOk ? ADAPTER_NO_ANSWER : ADAPTER_PORT_NOT_OPENED;
    }
    return status;
}

EMSCRIPTEN_KEEPALIVE void adapter_no_port_chosen()
{
    g_connection = ADAPTER_NO_PORT_CHOSEN;
}

EMSCRIPTEN_KEEPALIVE void adapter_port_released()
{
    // A Connect that failed still says why; a connection made is over.
    if (!g_connectedTo.empty())
        g_connection = ADAPTER_NOT_CONNECTED;
    g_connectedTo.clear();
    g_identityText.clear();
}

EMSCRIPTEN_KEEPALIVE int adapter_connection()
{
    return g_connection;
}

EMSCRIPTEN_KEEPALIVE const char* adapter_connection_text()
{
    switch (g_connection) {
    case ADAPTER_CONNECTED:
        return _handOut("Connected to the adapter " + printable(g_connectedTo));
    case ADAPTER_NO_PORT_CHOSEN:
        // The picker closed; a connection made before still holds.
        if (!g_connectedTo.empty())
            return _handOut("No port was chosen; still connected to the adapter " + printable(g_connectedTo));
        return "No port was chosen";
    case ADAPTER_PORT_NOT_OPENED:
        return "The port could not be opened";
    case ADAPTER_NO_ANSWER:
        return "The adapter did not answer";
    case ADAPTER_NOT_CONNECTED:
        break;
    }
    return "Not connected";
}

EMSCRIPTEN_KEEPALIVE const char* adapter_identity_text()
{
    return g_identityText.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* adapter_failure_text()
{
    return lastFailureLine().empty() ? kNoFailureLine : lastFailureLine().c_str();
}

EMSCRIPTEN_KEEPALIVE int adapter_reset()
{
    return _run({"-R"});
}

EMSCRIPTEN_KEEPALIVE int adapter_update_firmware(const char* path)
{
    return _run({"-f", path});
}

EMSCRIPTEN_KEEPALIVE int adapter_install_firmware(const char* path)
{
    return _run({"-I", "-f", path});
}

EMSCRIPTEN_KEEPALIVE int adapter_write_settings(const char* path, int isSettings)
{
    // A blank area formatted from a file that was no settings would wipe
    // the adapter's; the console's -u never sees such a file from the page.
    if (!isSettings) {
        _clearOutcome();
        g_outcome = ADAPTER_REFUSED;
        _logCommand({"-u", path});
        printFailure(stdout, kNotSettingsFileFormat, printable(path).c_str());
        std::fputs("\n", stdout);
        std::fflush(stdout);
        return kStatusFailed;
    }
    return _run({"-u", path});
}

EMSCRIPTEN_KEEPALIVE int adapter_read_settings()
{
    g_readPath.clear();
    g_readSerial.clear();
    g_readLogged = false;
    int status = _run({"-s", kNoFile}, _nameReadAfterAdapter, true);
    if (!g_readLogged && !webSerialPortName().empty())
        _logCommand({"-s", kNoFile});  // never connected: the Log still shows what ran
    if (!g_readPath.empty() && status != kStatusOk) {
        std::remove(g_readPath.c_str());  // the claim, or a save that is no backup
        g_readPath.clear();
    }
    return status;
}

EMSCRIPTEN_KEEPALIVE const char* adapter_read_path()
{
    return g_readPath.c_str();
}

EMSCRIPTEN_KEEPALIVE int adapter_outcome()
{
    return g_outcome;
}

EMSCRIPTEN_KEEPALIVE int adapter_way_back()
{
    return g_wayBack;
}

EMSCRIPTEN_KEEPALIVE const char* adapter_way_back_file()
{
    return g_wayBackFile.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* adapter_recovery_text()
{
    return g_recoveryText.c_str();
}

EMSCRIPTEN_KEEPALIVE const char* adapter_next_backup_name(const char* name)
{
    SettingsBackupName parsed;
    if (!parseSettingsBackupName(name, parsed)) {
        return _handOut(_stem(name) + "-1" + kBackupExtension);
    }
    ++parsed.counter;
    return _handOut(settingsBackupFileName(parsed));
}

EMSCRIPTEN_KEEPALIVE int adapter_backup_newer(const char* a, const char* b)
{
    auto madeA = _madeAt(a), madeB = _madeAt(b);
    return madeA > madeB ? 1 : madeA < madeB ? -1 : 0;
}

EMSCRIPTEN_KEEPALIVE int adapter_write_backup(const char* name)
{
    return _run({"-u", std::string(kBackupDir) + "/" + name}, _askBeforeWritingBackup);
}
}
