#include "AdapterApi.h"

#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "ActionBlock.h"
#include "AdapterInfo.h"
#include "PelagoXcon.h"
#include "Printable.h"
#include "Progress.h"
#include "SettingsBackup.h"
#include "SettingsOpen.h"
#include "WebPortFactory.h"
#include "nvm.h"

namespace {

constexpr const char* kProgramName = "PelagoXcon";
constexpr const char* kBackupDir = "/backups";
constexpr int kReasonSize = 512;
constexpr int kStatusFailed = 1;
// adapter_set_link's values: the page's "Link" choices in their order.
constexpr int kLinkUsb = 1;
constexpr int kLinkSerial = 2;

std::string g_text;      // the last string handed out
std::string g_readPath;  // what the last adapter_read_settings saved

const char* _handOut(std::string text)
{
    g_text = std::move(text);
    return g_text.c_str();
}

} // namespace

// The page's keeper of a backup: "" written to `reason` once the copy is
// kept, else why not.
EM_ASYNC_JS(void, pelago_keep_backup,
            (const char* path, const uint8_t* data, size_t size, char* reason, int reasonSize), {
    const keep = Module["pelagoKeepBackup"];
    let why = "this page keeps no backups";
    if (keep) {
        try {
            why = (await keep(UTF8ToString(path), HEAPU8.slice(data, data + size))) || "";
        } catch (e) {
            why = String((e && e.message) || e);
        }
    }
    stringToUTF8(why, reason, reasonSize);
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

bool _keepBackup(const std::string& path, const uint8_t* data, size_t size, std::string* reason)
{
    char why[kReasonSize] = "";
    pelago_keep_backup(path.c_str(), data, size, why, sizeof why);
    *reason = why;
    return reason->empty();
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
    std::error_code ignored;
    std::filesystem::create_directories(kBackupDir, ignored);
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

// Runs the console's driver with `options` after "-p PORT", keeping the
// lens editor's image, which the driver blanks at its start.
int _run(std::vector<std::string> options)
{
    std::string port = webSerialPortName();
    if (port.empty())
        return kStatusFailed;
    _logCommand(options);
    std::vector<std::string> args = {kProgramName, "-p", port};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    _setUp();
    std::vector<uint8_t> editorImage(g_eeprom, g_eeprom + kFlashImageSize);
    int status = pelagoMain(static_cast<int>(args.size()), argv.data());
    std::memcpy(g_eeprom, editorImage.data(), kFlashImageSize);
    std::fflush(stdout);
    std::fflush(stderr);
    return status;
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
    return _run({"-i"});
}

EMSCRIPTEN_KEEPALIVE int adapter_reset()
{
    return _run({"-R"});
}

EMSCRIPTEN_KEEPALIVE int adapter_update_firmware(const char* path)
{
    return _run({"-f", path});
}

EMSCRIPTEN_KEEPALIVE int adapter_write_settings(const char* path, int isSettings)
{
    // A blank area formatted from a file that was no settings would wipe
    // the adapter's; the console's -u never sees such a file from the page.
    if (!isSettings) {
        _logCommand({"-u", path});
        std::printf(kNotSettingsFileFormat, printable(path).c_str());
        std::fputs("\n", stdout);
        std::fflush(stdout);
        return kStatusFailed;
    }
    return _run({"-u", path});
}

EMSCRIPTEN_KEEPALIVE int adapter_read_settings()
{
    g_readPath.clear();
    _setUp();
    std::string tried, reason;
    std::string path = claimBackupPath(
        kBackupDir, settingsBackupStem(lastAdapterSerialNumber(), std::time(nullptr)), tried, reason);
    if (path.empty()) {
        std::printf("Failed to create file %s , abort\n", tried.c_str());
        printSaveFailureReason(reason);
        return kStatusFailed;
    }
    int status = _run({"-s", path});
    if (status == 0)
        g_readPath = path;
    else
        std::remove(path.c_str());  // the claim, or a save that is no backup
    return status;
}

EMSCRIPTEN_KEEPALIVE const char* adapter_read_path()
{
    return g_readPath.c_str();
}
}
