// The command line of adapter-sim: serving options, and the mkfw subcommand.
#pragma once

#include <string>
#include <vector>

#include "AdapterSim.h"
#include "Mkfw.h"

namespace sim {

// Fills `options` from the serving command line (args without the program
// name). False with `error` set on a bad option or value.
bool parseServeArgs(const std::vector<std::string>& args, SimOptions& options, std::string& error);

struct MkfwJob {
    MkfwOptions options;
    std::string settingsImagePath;
    std::string plainPath;
    std::string outPath;
};
// Same for "mkfw [options] PLAIN OUT" (args after "mkfw").
bool parseMkfwArgs(const std::vector<std::string>& args, MkfwJob& job, std::string& error);

// Reads the input files, builds the firmware file and writes it; prints the
// plain checksum and payload size. Returns the exit status.
int runMkfw(const MkfwJob& job);

// Text of --help.
const char* usageText();

}  // namespace sim
