// The command line of the virtual adapter (adapter-sim in the build tree,
// pelagoxcon-virtual-adapter installed): serving options, and mkfw.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "AdapterSim.h"
#include "Mkfw.h"

namespace sim {

// Fills `options` from the serving command line (args without the program
// name). False with `error` set on a bad option or value.
bool parseServeArgs(const std::vector<std::string>& args, SimOptions& options, std::string& error);

struct MkfwJob {
    MkfwJob() { options.wholeArea = true; }
    MkfwOptions options;
    std::optional<uint32_t> firmwareWord;  // --fw-word; else derived from --sw-ver
    std::optional<uint8_t> typeLetter;     // --type; else derived from --sig
    std::string settingsImagePath;
    std::string plainPath;
    std::string outPath;
};
// Same for "mkfw [options] PLAIN OUT" (args after "mkfw").
bool parseMkfwArgs(const std::vector<std::string>& args, MkfwJob& job, std::string& error);

// Reads the input files, builds the firmware file and writes it; prints the
// payload size and the checksums the tool will show and verify. Errors are
// prefixed "PROGRAM mkfw: ". Returns the exit status.
int runMkfw(const MkfwJob& job, const std::string& program);

// Text of --help, with the name the program was run as.
std::string usageText(const std::string& program);

}  // namespace sim
