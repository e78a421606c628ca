// The examples of the usage guide's virtual-adapter section, of the installed
// README and of both man pages, run as written: their commands are taken from the documents
// themselves, so the two cannot drift apart. They run in a scratch
// directory whose build/ is this build and whose PATH finds the programs
// by their installed names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
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

const char* const kCodeIndent = "    ";
const char* const kInstalledSamples = "/usr/share/pelagoxcon/samples/";

// The heading a line starts, or "": "## NAME", or NAME underlined with
// dashes on the next line.
std::string headingOf(const std::vector<std::string>& lines, size_t i)
{
    if (lines[i].rfind("## ", 0) == 0)
        return lines[i].substr(3);
    bool underlined = i + 1 < lines.size() && !lines[i + 1].empty() &&
                      lines[i + 1].find_first_not_of('-') == std::string::npos;
    return underlined ? lines[i] : "";
}

// The indented command lines of a text document's section, in order.
std::vector<std::string> textSectionCommands(const std::string& path, const std::string& section)
{
    std::ifstream document(path);
    std::vector<std::string> lines, commands;
    for (std::string line; std::getline(document, line);)
        lines.push_back(line);
    bool inSection = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string heading = headingOf(lines, i);
        if (!heading.empty())
            inSection = heading == section;
        else if (inSection && lines[i].rfind(kCodeIndent, 0) == 0)
            commands.push_back(lines[i].substr(std::string(kCodeIndent).size()));
    }
    return commands;
}

// A line of a man page's example as the reader sees it.
std::string unescapeRoff(std::string line)
{
    for (const auto& [escape, plain] : {std::pair<std::string, std::string>{"\\-", "-"}, {"\\&", ""}, {"\\(aq", "'"}})
        for (size_t at = line.find(escape); at != std::string::npos; at = line.find(escape, at + plain.size()))
            line.replace(at, escape.size(), plain);
    return line;
}

// A tool command that would reach for a real adapter: neither the virtual
// adapter's port nor offline. Such a command is never run here: it would
// open the machine's serial ports.
bool needsRealAdapter(const std::string& command)
{
    return command.rfind("PelagoXcon ", 0) == 0 && command.find("-p \"$(cat ") == std::string::npos &&
           !std::regex_search(command + " ", std::regex(R"(^PelagoXcon (-[dlh]|--version) )"));
}

// The lines of a man page section's example blocks, in order, leaving out
// every block that needs a real adapter.
std::vector<std::string> manPageCommands(const std::string& path, const std::string& section)
{
    std::ifstream page(path);
    std::vector<std::string> commands, block;
    bool inSection = false, inBlock = false;
    for (std::string line; std::getline(page, line);) {
        if (line.rfind(".SH ", 0) == 0) {
            inSection = line == ".SH " + section;
        } else if (inSection && line == ".EX") {
            inBlock = true;
            block.clear();
        } else if (inBlock && line == ".EE") {
            inBlock = false;
            if (std::none_of(block.begin(), block.end(), needsRealAdapter))
                commands.insert(commands.end(), block.begin(), block.end());
        } else if (inBlock) {
            block.push_back(unescapeRoff(line));
        }
    }
    return commands;
}

struct ExampleSource {
    const char* name;
    const char* path;
    const char* section;
    std::vector<std::string> (*commands)(const std::string& path, const std::string& section);
};

void PrintTo(const ExampleSource& source, std::ostream* out)
{
    *out << source.path;
}

const ExampleSource kSources[] = {
    {"Usage", PELAGO_DOC_DIR "/usage.md", "The virtual adapter by hand", textSectionCommands},
    {"InstalledReadme", PELAGO_DOC_DIR "/README-installed", "Without hardware", textSectionCommands},
    {"ToolManPage", PELAGO_DOC_DIR "/PelagoXcon.1", "EXAMPLES", manPageCommands},
    {"VirtualAdapterManPage", PELAGO_DOC_DIR "/pelagoxcon-virtual-adapter.1", "EXAMPLES", manPageCommands},
};

// The commands as one script that reports each one's exit status; the
// background adapter's own line gets no report. Installed samples are
// taken from the source tree.
std::string scriptReportingStatuses(const std::vector<std::string>& commands)
{
    std::string script;
    for (size_t i = 0; i < commands.size(); ++i) {
        std::string command = commands[i];
        for (size_t at; (at = command.find(kInstalledSamples)) != std::string::npos;)
            command.replace(at, std::string(kInstalledSamples).size(), PELAGO_SAMPLES_DIR "/");
        script += command + "\n";
        if (command.back() != '&')
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
        char pattern[] = "/tmp/pelago-examples-XXXXXX";
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

class DocumentExamples : public testing::TestWithParam<ExampleSource> {};

TEST_P(DocumentExamples, RunAsWrittenAndKeepTheAdapterUsable)
{
    const ExampleSource& source = GetParam();
    std::vector<std::string> commands = source.commands(source.path, source.section);
    ASSERT_GE(commands.size(), 5u) << source.path << " lost its examples";
    ScratchDir dir;
    ASSERT_FALSE(dir.path.empty());
    fs::create_directory_symlink(PELAGO_BUILD_DIR, dir.path + "/build");
    // The programs under their installed names, first on PATH.
    fs::create_directory(dir.path + "/bin");
    fs::create_symlink(PELAGO_BUILD_DIR "/PelagoXcon", dir.path + "/bin/PelagoXcon");
    fs::create_symlink(PELAGO_BUILD_DIR "/install-names/pelagoxcon-virtual-adapter",
                       dir.path + "/bin/pelagoxcon-virtual-adapter");
    const char* path = getenv("PATH");
    std::string env = "PATH=" + dir.path + "/bin:" + (path ? path : "/usr/bin:/bin");

    std::string script = "cd '" + dir.path + "'\n" + scriptReportingStatuses(commands);
    ProcessResult r = runProcess("/bin/bash", {"-c", script}, "", 60s, "", {env});
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
    size_t updates = 0, infos = 0, dumps = 0;
    for (const std::string& c : commands) {
        updates += c.find(" -f ") != std::string::npos;
        infos += std::regex_search(c + " ", std::regex(" -i "));
        dumps += std::regex_search(c + " ", std::regex("PelagoXcon -d "));
    }
    EXPECT_EQ(count(r.out, "\tFirmware update OK\n"), updates) << r.out;
    EXPECT_EQ(count(r.out, "Firmware Version: 0x0105\nROM Version: 0x00\nPre0=1, Pre1=0\nType=E\n"), infos)
        << r.out;
    // The settings shown hold the sample's lenses, so the dump shows data.
    EXPECT_TRUE(dumps == 0 || r.out.find(" 45 58 30 32 ") != std::string::npos) << "no settings signature in the dump";
}

INSTANTIATE_TEST_SUITE_P(Documents, DocumentExamples, testing::ValuesIn(kSources),
                         [](const testing::TestParamInfo<ExampleSource>& info) { return info.param.name; });

} // namespace
