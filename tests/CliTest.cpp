// The real executable's command line: output streams and exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HelpText.h"
#include "Subprocess.h"

namespace {

const std::string kExe = PELAGO_EXE;
const std::string kHint = "Try 'PelagoXcon -h' or 'PelagoXcon --help' for more information\n";

ProcessResult run(const std::vector<std::string>& args, const std::string& argv0 = "PelagoXcon")
{
    return runProcess(kExe, args, "", std::chrono::seconds(20), argv0);
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

TEST(CliHelp, VersionPrintsOneLineAndExitsWithZeroWhateverElseIsAsked)
{
    // Nothing else runs: -i would scan, -f would want its FILE.
    for (const auto& args : std::vector<std::vector<std::string>>{{"--version"}, {"-i", "--version"},
                                                                  {"--version", "-f"}, {"-h", "--version"}}) {
        ProcessResult r = run(args);
        EXPECT_EQ(r.exitStatus, 0) << args[0];
        EXPECT_EQ(r.out, "PelagoXcon " PELAGO_VERSION "\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CliHelp, ShowsTheProgramNameCutFromItsPath)
{
    EXPECT_EQ(run({"-h"}, "/opt/tools/PelagoXcon").out, expectedHelp("PelagoXcon"));
    EXPECT_EQ(run({"-h"}, "C:\\Tools\\Pelago.exe").out, expectedHelp("Pelago.exe"));
}

TEST(CliChecks, EachFailingCheckPrintsItsMessageThenTheHint)
{
    expectCheckFailure({"-s", "-u", "f.dat"},
                       "PelagoXcon: eeprom read option is exclusive of write or clear\n");
    expectCheckFailure({"-s", "-u"}, "PelagoXcon: eeprom read option is exclusive of write or clear\n");
    expectCheckFailure({"-f"}, "PelagoXcon: missing file\n");
    expectCheckFailure({"-h", "-f"}, "PelagoXcon: missing file\n");
    expectCheckFailure({"-i", "FILE"}, "PelagoXcon: extra arguments found\n");
    expectCheckFailure({"-i", "--", "--version"}, "PelagoXcon: extra arguments found\n");
    expectCheckFailure({"-f", "A", "B"}, "PelagoXcon: extra arguments found\n");
    expectCheckFailure({"-l", "A", "B"}, "PelagoXcon: extra arguments found\n");
    // The shared-FILE refusal comes last: the earlier checks win over it.
    const std::string shared = "-f cannot be combined with -u or -s: they would share FILE\n";
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-s", "-f", "x.bin"}, {"-I", "-u", "-f", "app.fw"}, {"-f", "-s", "-h", "x"}, {"-l", "-f", "-u", "x"}})
        expectCheckFailure(args, shared);
    expectCheckFailure({"-u", "-f"}, "PelagoXcon: missing file\n");
    expectCheckFailure({"-s", "-f", "A", "B"}, "PelagoXcon: extra arguments found\n");
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

TEST(CliChecks, OptionsThatNeedNoOrOneFilePassTheChecks)
{
    // These pass every check and reach a road; none may fail on the checks.
    // A missing -p port keeps the road off the machine's own serial ports.
    for (auto args : std::vector<std::vector<std::string>>{{"x.bin", "-f"}, {"-I"}, {"-R"}}) {
        args.insert(args.end(), {"-p", "/nonexistent/pelago-port"});
        ProcessResult r = run(args);
        EXPECT_EQ(r.err.find("missing file"), std::string::npos);
        EXPECT_EQ(r.err.find("extra arguments"), std::string::npos);
        EXPECT_EQ(r.err.find("exclusive"), std::string::npos);
        EXPECT_EQ(r.err.find("share FILE"), std::string::npos);
    }
}
