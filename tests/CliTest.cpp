// The real executable's command line: output streams and exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Subprocess.h"

namespace {

const std::string kExe = PELAGO_EXE;
const std::string kHint = "Try 'PelagoXcon -h' or 'PelagoXcon --help' for more information\n";

ProcessResult run(const std::vector<std::string>& args, const std::string& argv0 = "PelagoXcon")
{
    return runProcess(kExe, args, "", std::chrono::seconds(20), argv0);
}

std::string expectedHelp(const std::string& p)
{
    return "Usage: " + p + " [OPTION...] [FILE]\n"
           "Quorvane EF/GFX and CONTAX645/GFX Adapter Firmware Updater 0.3\n"
           "\n"
           "Examples:\n"
           "  " + p + " -i                     # Display the adapter info,\n"
           "  " + p + " -R                 \t  # Power cycle adapter,\n"
           "  " + p + " -f ef-gfx-1.0.fw       # Erase and update adapter firmware with ef-gfx-1.0.fw file,\n"
           "  " + p + " -u user.dat            # Update adapter setting with user.dat file,\n"
           "  " + p + " -s user.dat            # Save current adapter setting into file user.dat\n"
           "  " + p + " -c            \t\t\t\t  # Erase current adapter setting\n"
           "\n"
           "Options:\n"
           "  -f, --flash           Erase and update with firmware file\n"
           "  -u, --update          Update adapter setting from file\n"
           "  -l, --lens            lens params tuning\n"
           "  -d, --display         lens params displaying\n"
           "  -s, --save            Save current adapter setting into file\n"
           "  -i, --info            Show the version of adapter\n"
           "  -I, --force           Force firmware update\n"
           "  -h, --help            Display this help text\n"
           "  -R, --reset           Power recycle adapter\n"
           "  -p, --port=PORT       Use serial PORT to communicate to device;\n"
           "                        default behavior is to auto-scan all serial ports\n"
           "\n"
           "Report bugs/problems to support@quorvane.example\n";
}

void expectCheckFailure(const std::vector<std::string>& args, const std::string& message)
{
    ProcessResult r = run(args);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message + kHint);
}

} // namespace

TEST(CliHelp, PrintsTheWholeHelpAndExitsWithOne)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"--help"}, {"-h", "-i"}}) {
        ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, expectedHelp("PelagoXcon"));
        EXPECT_EQ(r.err, "");
    }
}

TEST(CliHelp, ShowsTheProgramNameCutFromItsPath)
{
    EXPECT_EQ(run({"-h"}, "/opt/tools/PelagoXcon").out, expectedHelp("PelagoXcon"));
    EXPECT_EQ(run({"-h"}, "C:\\Tools\\Pelago.exe").out, expectedHelp("Pelago.exe"));
}

TEST(CliChecks, NoArgumentsPrintsTheBannerAndTheMessage)
{
    ProcessResult r = run({});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "Quorvane EF/GFX and CONTAX645/GFX Adapter Firmware Updater 0.3\n\n");
    EXPECT_EQ(r.err, "You must specify at least one option\n" + kHint);
}

TEST(CliChecks, EachFailingCheckPrintsItsMessageThenTheHint)
{
    expectCheckFailure({"-s", "-u", "f.dat"},
                       "PelagoXcon: eeprom read option is exclusive of write or clear\n");
    expectCheckFailure({"-s", "-u"}, "PelagoXcon: eeprom read option is exclusive of write or clear\n");
    expectCheckFailure({"-f"}, "PelagoXcon: missing file\n");
    expectCheckFailure({"-h", "-f"}, "PelagoXcon: missing file\n");
    expectCheckFailure({"-i", "FILE"}, "PelagoXcon: extra arguments found\n");
    expectCheckFailure({"-f", "A", "B"}, "PelagoXcon: extra arguments found\n");
    expectCheckFailure({"-l", "A", "B"}, "PelagoXcon: extra arguments found\n");
}

TEST(CliChecks, UnknownOptionsGetTheLibraryDiagnosticThenTheHint)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"-c"}, {"-p"}, {"--bogus"}}) {
        ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        ASSERT_GT(r.err.size(), kHint.size());
        EXPECT_EQ(r.err.substr(0, 11), "PelagoXcon:");
        EXPECT_EQ(r.err.substr(r.err.size() - kHint.size()), kHint);
    }
}

TEST(CliChecks, OptionsThatShareOneFilePassTheChecks)
{
    // These pass every check and reach a road; none may fail on the checks.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-s", "-f", "x.bin"}, {"-u", "-f", "x.bin"}, {"x.bin", "-f"}, {"-I"}, {"-R"}}) {
        ProcessResult r = run(args);
        EXPECT_EQ(r.err.find("missing file"), std::string::npos);
        EXPECT_EQ(r.err.find("extra arguments"), std::string::npos);
        EXPECT_EQ(r.err.find("exclusive"), std::string::npos);
    }
}
