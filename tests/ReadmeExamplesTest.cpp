// The README's virtual-adapter section, run as written: its commands are
// taken from the README itself, so the two cannot drift apart. They run in
// a scratch directory whose build/ is this build.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const char* const kSection = "## Running the virtual adapter by hand";
const char* const kCodeIndent = "    ";

// The indented command lines of the README section, in order.
std::vector<std::string> sectionCommands()
{
    std::ifstream readme(PELAGO_README);
    std::vector<std::string> commands;
    bool inSection = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0)
            inSection = line == kSection;
        else if (inSection && line.rfind(kCodeIndent, 0) == 0)
            commands.push_back(line.substr(std::string(kCodeIndent).size()));
    }
    return commands;
}

// The commands as one script that reports each one's exit status; the
// background adapter's own line gets no report.
std::string scriptReportingStatuses(const std::vector<std::string>& commands)
{
    std::string script;
    for (size_t i = 0; i < commands.size(); ++i) {
        script += commands[i] + "\n";
        if (commands[i].back() != '&')
            script += "echo \"[command " + std::to_string(i) + " exited $?]\"\n";
    }
    return script;
}

// The offline road always ends with status 1; everything else must succeed.
int expectedStatus(const std::string& command)
{
    return std::regex_search(command, std::regex(R"(PelagoXcon .*-[dl] )")) ? 1 : 0;
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class ScratchDir {
public:
    ScratchDir()
    {
        char pattern[] = "/tmp/pelago-readme-XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    std::string path;
};

TEST(ReadmeExamples, VirtualAdapterAndMkfwWorkAsWritten)
{
    std::vector<std::string> commands = sectionCommands();
    ASSERT_GE(commands.size(), 5u) << "the README section lost its examples";
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    fs::create_directory_symlink(PELAGO_BUILD_DIR, dir.path + "/build");

    std::string script = "cd '" + dir.path + "'\n" + scriptReportingStatuses(commands);
    ProcessResult r = runProcess("/bin/bash", {"-c", script}, "", 60s);
    ASSERT_FALSE(r.timedOut) << r.out << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.err;

    for (size_t i = 0; i < commands.size(); ++i) {
        if (commands[i].back() == '&')
            continue;
        std::string report = "[command " + std::to_string(i) + " exited " +
                             std::to_string(expectedStatus(commands[i] + " ")) + "]";
        EXPECT_NE(r.out.find(report), std::string::npos) << commands[i] << "\n" << r.out << r.err;
    }
    // Every update verified, and every identity the fresh adapter's: the
    // firmware from mkfw keeps the adapter usable.
    size_t updates = 0, infos = 0;
    for (const std::string& c : commands) {
        updates += c.find(" -f ") != std::string::npos;
        infos += std::regex_search(c + " ", std::regex(" -i "));
    }
    EXPECT_EQ(count(r.out, "\tFirmware update OK\n"), updates) << r.out;
    EXPECT_EQ(count(r.out, "Firmware Version: 0x0105\nROM Version: 0x00\nPre0=1, Pre1=0\nType=E\n"), infos)
        << r.out;
    // The saved settings hold the sample's lenses, so the dump shows data.
    EXPECT_NE(r.out.find(" 45 58 30 32 "), std::string::npos) << "no settings signature in the dump";
}

} // namespace
