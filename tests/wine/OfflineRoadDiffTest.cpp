// The offline road run by both programs on the same settings file with the
// same console input: output, exit status and the saved file must agree.
// Console input arrives through the Windows runtime's text mode here.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "WineEnvironment.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const fs::path kSample = PELAGO_SAMPLES_DIR "/lenses.dat";

Bytes readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

class OfflineRoadDiff : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/pelago-wine-offline-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        _dir = pattern;
        _file = _dir / "user.dat";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(_dir, ignored);
    }

    struct Outcome {
        ProcessResult result;
        Bytes file;
    };

    // Runs one program on a fresh copy of the sample at the same path, so
    // that the two runs print the same file name.
    template <typename Run>
    Outcome runOnSample(Run run)
    {
        fs::copy_file(kSample, _file, fs::copy_options::overwrite_existing);
        ProcessResult r = run();
        EXPECT_FALSE(r.timedOut);
        return {r, readBytes(_file)};
    }

    // Both programs agree; `saves` tells whether the file is to change.
    void expectSameOutcome(const std::vector<std::string>& options, const std::string& input, bool saves)
    {
        std::vector<std::string> args = options;
        args.push_back(_file.string());
        Outcome native = runOnSample([&] { return runProcess(PELAGO_NATIVE_EXE, args, input, 30s, "PelagoXcon"); });
        WineLauncher launcher(winePrefix(), PELAGO_WINE_EXE);
        Outcome windows = runOnSample([&] { return launcher.run(args, input, 30s); });

        ASSERT_EQ(native.result.exitStatus, 1);
        ASSERT_NE(native.result.out.find("\n"), std::string::npos);
        EXPECT_EQ(native.file != readBytes(kSample), saves);
        EXPECT_EQ(windows.result.exitStatus, native.result.exitStatus);
        EXPECT_EQ(windows.result.out, native.result.out);
        EXPECT_EQ(windows.result.err, native.result.err);
        EXPECT_TRUE(windows.file == native.file) << "the saved settings files differ";
    }

    fs::path _dir;
    fs::path _file;
};

} // namespace

TEST_F(OfflineRoadDiff, DisplayPrintsTheSameDump)
{
    expectSameOutcome({"-d"}, "", false);
}

TEST_F(OfflineRoadDiff, TuningWithWrongValuesAndSavingLeavesTheSameFile)
{
    expectSameOutcome({"-l"}, "2\n-1\n\n128\nabc\n0\ny\n", true);
    expectSameOutcome({"-l"}, "1\n1\n2\n3\n4\n0\nn\n", false);
}

TEST_F(OfflineRoadDiff, WindowsLineEndsInTheConsoleInputChangeNothing)
{
    WineLauncher launcher(winePrefix(), PELAGO_WINE_EXE);
    auto runWith = [&](const std::string& input) {
        return runOnSample([&] { return launcher.run({"-l", _file.string()}, input, 30s); });
    };
    Outcome lf = runWith("4\n-3\n\n7\n-7\n0\ny\n");
    Outcome crlf = runWith("4\r\n-3\r\n\r\n7\r\n-7\r\n0\r\ny\r\n");
    EXPECT_NE(lf.file, readBytes(kSample)) << "the dialogue was to save a change";
    EXPECT_EQ(crlf.result.out, lf.result.out);
    EXPECT_TRUE(crlf.file == lf.file);
}
