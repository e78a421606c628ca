#include "PelagoXcon.h"

#include <cstdlib>
#include <cstring>

#include "DeviceRoad.h"
#include "OfflineRoad.h"
#include "Printable.h"
#include "RuntimeName.h"
#include "nvm.h"

const char* const kBanner = "Quorvane EF/GFX and CONTAX645/GFX Adapter Firmware Updater " PELAGO_VERSION "\n";

const char* const kVersionLine = "PelagoXcon " PELAGO_VERSION;

namespace {

constexpr OptArg kNoArg = {ArgNone, ArgInt, nullptr, {nullptr}};
constexpr const char* kContact = "support@quorvane.example";

} // namespace

Option opts[] = {
    {'f', "flash", &config.firmware_write, kNoArg, "Erase and update with firmware file"},
    {'u', "update", &config.eeprom_write, kNoArg, "Update adapter setting from file"},
    {'l', "lens", &config.lens_tuning, kNoArg, "lens params tuning"},
    {'d', "display", &config.lens_display, kNoArg, "lens params displaying"},
    {'s', "save", &config.eeprom_read, kNoArg, "Save current adapter setting into file"},
    {'i', "info", &config.version, kNoArg, "Show the version of adapter"},
    {'I', "force", &config.force_update, kNoArg, "Force firmware update"},
    {'h', "help", &config.help, kNoArg, "Display this help text"},
    {'R', "reset", &config.reset, kNoArg, "Power recycle adapter"},
    {'p', "port", &config.port, {ArgRequired, ArgString, "PORT", {&config.portArg}},
     "Use serial PORT to communicate to device;\ndefault behavior is to auto-scan all serial ports"},
};
const int kNumOpts = static_cast<int>(sizeof opts / sizeof opts[0]);

namespace {

void printHelp(const CmdOpts& cmdOpts, const char* program)
{
    std::printf("Usage: %s [OPTION...] [FILE]\n", program);
    std::fputs(kBanner, stdout);
    std::printf("\n"
                "Examples:\n"
                "  %s -i                     # Display the adapter info,\n"
                "  %s -R                 \t  # Power cycle adapter,\n"
                "  %s -f ef-gfx-1.0.fw       # Erase and update adapter firmware with ef-gfx-1.0.fw file,\n"
                "  %s -u user.dat            # Update adapter setting with user.dat file,\n"
                "  %s -s user.dat            # Save current adapter setting into file user.dat\n"
                "  %s -c            \t\t\t\t  # Erase current adapter setting\n",
                program, program, program, program, program, program);
    std::puts("\nOptions:");
    cmdOpts.usage(stdout);
    std::printf("\nReport bugs/problems to %s\n", kContact);
}

bool needsFile(const PelagoConfig& cfg)
{
    return cfg.eeprom_write || cfg.eeprom_read || cfg.firmware_write || cfg.lens_tuning ||
           cfg.lens_display;
}

// True when the command line asks for --version: a word of its own before
// any "--" (after which every word is a FILE).
bool wantsVersion(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--version") == 0)
            return true;
    return false;
}

// Fails the run with a driver message, then the hint.
int failCheck(const char* format, const char* program)
{
    std::fprintf(stderr, format, program);
    return help(program);
}

} // namespace

const char* cutProgramName(const char* path)
{
    if (const char* slash = std::strrchr(path, '/'))
        return slash + 1;
    if (const char* backslash = std::strrchr(path, '\\'))
        return backslash + 1;
    return path;
}

int help(const char* program)
{
    std::fprintf(stderr, "Try '%s -h' or '%s --help' for more information\n", program, program);
    return 1;
}

int pelagoMain(int argc, char** argv)
{
    // The name is printed in messages (and by getopt): shown safe, once.
    static std::string shownName;
    if (argc >= 1 && argv[0] != nullptr) {
        shownName = printable(cutProgramName(argv[0]));
        argv[0] = shownName.data();
        setRuntimeProgramName(argv[0]);
    }
    const char* program = (argc >= 1 && argv[0] != nullptr) ? argv[0] : "PelagoXcon";
    // Not a row of the option table: the help text's listing stays as it is.
    if (wantsVersion(argc, argv)) {
        std::puts(kVersionLine);
        return 0;
    }
    CmdOpts cmdOpts(argc, argv, kNumOpts, opts);

    if (argc <= 1) {
        std::puts(kBanner);
        std::fflush(stdout);  // before the message on stderr, also when both go down one pipe
        std::fputs("You must specify at least one option\n", stderr);
        return help(program);
    }

    int index = cmdOpts.parse();
    if (index < 0)
        return help(program);

    std::memset(g_eeprom, 0xFF, sizeof g_eeprom);

    if (config.eeprom_read && (config.eeprom_write || config.eeprom_clear))
        return failCheck("%s: eeprom read option is exclusive of write or clear\n", program);

    const char* file = nullptr;
    if (needsFile(config)) {
        if (index >= argc)
            return failCheck("%s: missing file\n", program);
        file = argv[index++];
    }
    if (index < argc)
        return failCheck("%s: extra arguments found\n", program);
    // One FILE cannot be both the firmware and the settings: -s would
    // overwrite the firmware file, -u would program it as settings.
    if (config.firmware_write && (config.eeprom_write || config.eeprom_read)) {
        std::fputs("-f cannot be combined with -u or -s: they would share FILE\n", stderr);
        return help(program);
    }

    if (config.help) {
        printHelp(cmdOpts, program);
        return 1;
    }
    if (config.lens_tuning || config.lens_display)
        return offlineRoad(file);
    return deviceRoad(config, file);
}
