#include "SimCli.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace sim {

namespace {

// getopt_long wants a mutable argv with a program name in front.
class Argv {
public:
    explicit Argv(const std::vector<std::string>& args) {
        _storage.push_back("adapter-sim");
        _storage.insert(_storage.end(), args.begin(), args.end());
        for (std::string& s : _storage) _pointers.push_back(s.data());
        _pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(_storage.size()); }
    char** argv() { return _pointers.data(); }

private:
    std::vector<std::string> _storage;
    std::vector<char*> _pointers;
};

bool parseNumber(const char* text, unsigned long max, unsigned long& out) {
    if (!text || !*text || *text == '-') return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text, &end, 0);
    return errno == 0 && *end == '\0' && out <= max;
}

// "L:N": the Nth command with letter L.
bool parseLetterCount(const char* text, std::map<char, unsigned>& plan) {
    unsigned long n;
    if (std::strlen(text) < 3 || text[1] != ':' || !parseNumber(text + 2, 0xFFFFFFFFul, n) || n == 0) return false;
    plan[text[0]] = static_cast<unsigned>(n);
    return true;
}

bool readFile(const std::string& path, std::vector<uint8_t>& data) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

enum ServeOption {
    OptLink = 256, OptPortFile, OptState, OptLog, OptBlank, OptPcb, OptBoard, OptSerial, OptFwWord,
    OptTypeWord, OptAdjWord, OptChipId, OptVersionText, OptNoQvl, OptNoAnswer, OptWrongLetter,
    OptSilentFrom, OptNakBlocks, OptNoC, OptHangupAfter, OptNoVersion, OptDelay, OptCorruptWrite, OptStrayByte,
    OptHangupAt, OptPowerOffAfter,
};

const option kServeOptions[] = {
    {"link", required_argument, nullptr, OptLink},
    {"port-file", required_argument, nullptr, OptPortFile},
    {"state", required_argument, nullptr, OptState},
    {"log", required_argument, nullptr, OptLog},
    {"blank", no_argument, nullptr, OptBlank},
    {"pcb", required_argument, nullptr, OptPcb},
    {"board", required_argument, nullptr, OptBoard},
    {"serial", required_argument, nullptr, OptSerial},
    {"fw-word", required_argument, nullptr, OptFwWord},
    {"type-word", required_argument, nullptr, OptTypeWord},
    {"adj-word", required_argument, nullptr, OptAdjWord},
    {"chip-id", required_argument, nullptr, OptChipId},
    {"version-text", required_argument, nullptr, OptVersionText},
    {"no-qvl", no_argument, nullptr, OptNoQvl},
    {"no-answer", required_argument, nullptr, OptNoAnswer},
    {"wrong-letter", required_argument, nullptr, OptWrongLetter},
    {"silent-from", required_argument, nullptr, OptSilentFrom},
    {"nak-blocks", required_argument, nullptr, OptNakBlocks},
    {"no-c", no_argument, nullptr, OptNoC},
    {"hangup-after", required_argument, nullptr, OptHangupAfter},
    {"no-version", no_argument, nullptr, OptNoVersion},
    {"delay", required_argument, nullptr, OptDelay},
    {"corrupt-write", required_argument, nullptr, OptCorruptWrite},
    {"stray-byte", required_argument, nullptr, OptStrayByte},
    {"hangup-at", required_argument, nullptr, OptHangupAt},
    {"power-off-after", required_argument, nullptr, OptPowerOffAfter},
    {nullptr, 0, nullptr, 0},
};

bool applyServeOption(int opt, const char* arg, SimOptions& o) {
    unsigned long n = 0;
    const auto number = [&](unsigned long max) { return parseNumber(arg, max, n); };
    FaultPlan& f = o.faults;
    switch (opt) {
        case OptLink:
            if (std::strcmp(arg, "usb") == 0) o.link = LinkMode::Usb;
            else if (std::strcmp(arg, "serial") == 0) o.link = LinkMode::Serial;
            else return false;
            return true;
        case OptPortFile: o.portFile = arg; return true;
        case OptState: o.stateFile = arg; return true;
        case OptLog: o.logFile = arg; return true;
        case OptBlank: o.blank = true; return true;
        case OptPcb: if (!number(0xFFFF)) return false; o.identity.pcbVersion = uint16_t(n); return true;
        case OptBoard:
            if (std::strlen(arg) == 1) o.identity.boardLetter = uint8_t(arg[0]);
            else if (number(0xFF)) o.identity.boardLetter = uint8_t(n);
            else return false;
            return true;
        case OptSerial: if (std::strlen(arg) > 8) return false; o.identity.serialNumber = arg; return true;
        case OptFwWord: if (!number(0xFFFFFFFF)) return false; o.identity.firmwareWord = uint32_t(n); return true;
        case OptTypeWord: if (!number(0xFFFFFFFF)) return false; o.identity.typeWord = uint32_t(n); return true;
        case OptAdjWord: if (!number(0xFFFFFFFF)) return false; o.identity.adjWord = uint32_t(n); return true;
        case OptChipId: if (!number(0xFFFFFFFF)) return false; o.deviceId = uint32_t(n); return true;
        case OptVersionText: o.versionText = arg; return true;
        case OptNoQvl: o.versionText = "v2.4 boot monitor Jun 12 2021"; return true;
        case OptNoAnswer: return parseLetterCount(arg, f.noAnswerAt);
        case OptWrongLetter: return parseLetterCount(arg, f.wrongLetterAt);
        case OptSilentFrom: if (!number(0xFFFFFFFF)) return false; f.silentFrom = unsigned(n); return true;
        case OptNakBlocks: if (!number(0xFFFFFFFF)) return false; f.nakFirstBlocks = unsigned(n); return true;
        case OptNoC: f.neverSendC = true; return true;
        case OptHangupAfter: if (!number(0xFFFFFFFF)) return false; f.hangupAfterBlocks = unsigned(n); return true;
        case OptNoVersion: f.noVersionAnswer = true; return true;
        case OptDelay: if (!number(60000)) return false; f.replyDelayMs = unsigned(n); return true;
        case OptCorruptWrite: if (!number(0xFFFFFFFF)) return false; f.corruptWriteAt = unsigned(n); return true;
        case OptStrayByte: return parseLetterCount(arg, f.strayByteAt);
        case OptHangupAt: if (!number(0xFFFFFFFF)) return false; f.hangupAt = unsigned(n); return true;
        case OptPowerOffAfter: if (!number(0xFFFFFFFF)) return false; f.powerOffAfter = unsigned(n); return true;
        default: return false;
    }
}

enum MkfwOption {
    OptSig = 256, OptSwVer, OptLoad, OptPcbList, OptSettingsByte, OptSettingsImage, OptBadChecksum, OptTruncate,
    OptExact, OptMkfwFwWord, OptType,
};

const option kMkfwOptions[] = {
    {"sig", required_argument, nullptr, OptSig},
    {"sw-ver", required_argument, nullptr, OptSwVer},
    {"load", required_argument, nullptr, OptLoad},
    {"pcb", required_argument, nullptr, OptPcbList},
    {"settings-byte", required_argument, nullptr, OptSettingsByte},
    {"settings-image", required_argument, nullptr, OptSettingsImage},
    {"bad-checksum", no_argument, nullptr, OptBadChecksum},
    {"truncate", required_argument, nullptr, OptTruncate},
    {"exact", no_argument, nullptr, OptExact},
    {"fw-word", required_argument, nullptr, OptMkfwFwWord},
    {"type", required_argument, nullptr, OptType},
    {nullptr, 0, nullptr, 0},
};

bool parsePcbList(const char* text, std::vector<uint16_t>& list) {
    list.clear();
    std::string rest = text;
    while (!rest.empty()) {
        const size_t comma = rest.find(',');
        unsigned long n;
        if (!parseNumber(rest.substr(0, comma).c_str(), 0xFFFF, n)) return false;
        list.push_back(uint16_t(n));
        rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
    return list.size() <= 8;
}

bool applyMkfwOption(int opt, const char* arg, MkfwJob& job) {
    unsigned long n = 0;
    MkfwOptions& o = job.options;
    switch (opt) {
        case OptSig: if (std::strlen(arg) > 4) return false; o.signature = arg; return true;
        case OptSwVer: if (!parseNumber(arg, 0xFFFF, n)) return false; o.swVersion = uint16_t(n); return true;
        case OptLoad: if (!parseNumber(arg, 0xFFFFFFFF, n)) return false; o.loadAddress = uint32_t(n); return true;
        case OptPcbList: return parsePcbList(arg, o.pcbVersions);
        case OptSettingsByte: if (!parseNumber(arg, 0xFF, n)) return false; o.settingsHandling = uint8_t(n); return true;
        case OptSettingsImage: job.settingsImagePath = arg; return true;
        case OptBadChecksum: o.wrongPlainChecksum = true; return true;
        case OptTruncate: if (!parseNumber(arg, 0x7FFFFFFF, n)) return false; o.truncateTo = long(n); return true;
        case OptExact: o.wholeArea = false; return true;
        case OptMkfwFwWord:
            if (!parseNumber(arg, 0xFFFFFFFF, n)) return false;
            job.firmwareWord = uint32_t(n);
            return true;
        case OptType: if (std::strlen(arg) != 1) return false; job.typeLetter = uint8_t(arg[0]); return true;
        default: return false;
    }
}

const char* optionName(const option* table, int code) {
    for (; table->name; ++table)
        if (table->val == code) return table->name;
    return "?";
}

template <typename Apply>
bool parseWith(const std::vector<std::string>& args, const option* table, Apply apply,
               std::vector<std::string>& operands, std::string& error) {
    Argv argv(args);
    optind = 0;  // also resets getopt's inner state between calls
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argv.argc(), argv.argv(), "+", table, nullptr)) != -1) {
        if (opt == '?' || opt == ':') {
            error = "unknown option or missing value";
            return false;
        }
        if (!apply(opt, optarg)) {
            error = "bad value '" + std::string(optarg ? optarg : "") + "' for --" + optionName(table, opt);
            return false;
        }
    }
    for (int i = optind; i < argv.argc(); ++i) operands.emplace_back(argv.argv()[i]);
    return true;
}

}  // namespace

bool parseServeArgs(const std::vector<std::string>& args, SimOptions& options, std::string& error) {
    std::vector<std::string> operands;
    if (!parseWith(args, kServeOptions, [&](int opt, const char* arg) { return applyServeOption(opt, arg, options); },
                   operands, error))
        return false;
    if (!operands.empty()) {
        error = "unexpected argument: " + operands.front();
        return false;
    }
    return true;
}

bool parseMkfwArgs(const std::vector<std::string>& args, MkfwJob& job, std::string& error) {
    std::vector<std::string> operands;
    if (!parseWith(args, kMkfwOptions, [&](int opt, const char* arg) { return applyMkfwOption(opt, arg, job); },
                   operands, error))
        return false;
    if (operands.size() != 2) {
        error = "mkfw needs PLAIN and OUT";
        return false;
    }
    job.plainPath = operands[0];
    job.outPath = operands[1];
    // Unless told otherwise, the image says it is the version and type its
    // header announces, so that the adapter shows the same after the update.
    MkfwOptions& o = job.options;
    o.firmwareWord = job.firmwareWord ? *job.firmwareWord
                                      : (kDefaultFirmwareWord & ~uint32_t(kVersionMask)) | o.swVersion;
    const uint8_t sigLetter = o.signature.size() == 4 ? uint8_t(o.signature[3]) : 0;
    o.typeLetter = job.typeLetter ? *job.typeLetter
                   : (sigLetter == 'C' || sigLetter == 'E') ? sigLetter : kDefaultTypeLetter;
    return true;
}

int runMkfw(const MkfwJob& job, const std::string& program) {
    const char* name = program.c_str();
    std::vector<uint8_t> plain;
    if (!readFile(job.plainPath, plain)) {
        std::fprintf(stderr, "%s mkfw: cannot read %s\n", name, job.plainPath.c_str());
        return 1;
    }
    MkfwOptions options = job.options;
    if (!job.settingsImagePath.empty() && !readFile(job.settingsImagePath, options.settingsImage)) {
        std::fprintf(stderr, "%s mkfw: cannot read %s\n", name, job.settingsImagePath.c_str());
        return 1;
    }
    MkfwResult result;
    std::string error;
    if (!mkfwBuild(plain, options, result, error)) {
        std::fprintf(stderr, "%s mkfw: %s\n", name, error.c_str());
        return 1;
    }
    std::FILE* out = std::fopen(job.outPath.c_str(), "wb");
    const bool written = out && std::fwrite(result.file.data(), 1, result.file.size(), out) == result.file.size();
    if (!out || std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "%s mkfw: cannot write %s\n", name, job.outPath.c_str());
        return 1;
    }
    // The tool shows the whole area's checksum and compares the written
    // range's with the file's; they differ only for a partial image.
    std::printf("payload %u bytes\n\tChecksum of Firmware code = 0x%08X\n", result.payloadSize, result.areaChecksum);
    if (result.plainChecksum != result.areaChecksum)
        std::printf("\tverified over the written range: 0x%08X\n", result.plainChecksum);
    return 0;
}

std::string usageText(const std::string& program) {
    const std::string indent(program.size() + 6, ' ');
    return "Usage: " + program + " [OPTION...]\n"
           "       " + program + " mkfw [--sig SSSS] [--sw-ver N] [--load ADDR] [--pcb N[,N...]]\n"
           "       " + indent + "[--fw-word N] [--type C|E] [--exact]\n"
           "       " + indent + "[--settings-byte N] [--settings-image FILE] [--bad-checksum]\n"
           "       " + indent + "[--truncate BYTES] PLAIN OUT\n"
           "       " + program + " --version\n"
           "mkfw pads PLAIN to the whole application area and puts the firmware word\n"
           "(0x1EFF0; default 0x0100 and the --sw-ver, 0x0105) and the type letter\n"
           "(0x1EFF4; default the signature's last letter) at its top; --exact keeps\n"
           "PLAIN as it is.\n"
           "Plays the adapter's boot monitor on a pseudo-terminal and prints its path.\n"
           "Stops on SIGINT or SIGTERM, saving the state file.\n"
           "  --link usb|serial     link mode (usb)\n"
           "  --port-file FILE      also write the pty path to FILE\n"
           "  --state FILE          raw 128 KiB flash: loaded when present, saved at exit\n"
           "  --log FILE            append every received command to FILE\n"
           "  --blank               start from erased flash\n"
           "  --pcb N --board C --serial TEXT --fw-word N --type-word N --adj-word N\n"
           "                        identity words (0xFF4, 0xFF8, 0x1EFF0, 0x1EFF4, 0x1F188)\n"
           "  --chip-id N           device id word at 0x41002018 (0x1001A30B)\n"
           "  --version-text TEXT, --no-qvl\n"
           "Faults:\n"
           "  --no-answer L:N       no answer to the Nth command with letter L\n"
           "  --wrong-letter L:N    the Nth answer to letter L starts with '!'\n"
           "  --silent-from N       no answers from the Nth command on\n"
           "  --nak-blocks K        refuse the first K XMODEM blocks\n"
           "  --no-c                never ask for XMODEM data\n"
           "  --hangup-after N      close the pty after N programmed blocks\n"
           "  --no-version          never answer V#\n"
           "  --delay MS            pause before every answer\n"
           "  --corrupt-write N     the Nth programmed block lands with one bit wrong\n"
           "  --stray-byte L:N      the Nth answer to letter L carries one byte too many\n"
           "  --hangup-at N         lose the Nth command and close the pty\n"
           "  --power-off-after N   carry out the Nth command, then stop at once, keeping the flash\n";
}

}  // namespace sim
