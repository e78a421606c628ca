// The offline road of the real executable (-d and -l) on settings files in
// a scratch directory: exact console texts, the dialogue, saving.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Subprocess.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kExe = PELAGO_EXE;
const std::string kSample = PELAGO_SAMPLES_DIR "/lenses.dat";

const std::string kQuestion = "Adapter setting has been modified, do you want to save it ? (Y/N)";
const std::string kLensPrompt = "Enter 0 to quit, 1-4 to tune a lens: ";
const std::string kWrong = "\tWrong value, set to default value\n";
const std::string kInputHint = " , input a value -127 <-> 127, or just enter for default: ";

const std::string kLens1 = "\t1.[Lens  50mm], AF Tune - All range: [3],  TELE/NEAR - 1/2: [default],  "
                           "1/2 <-> 3/4: [default],  3/4 <-> WIDE/INFINITY: [default]\n";
const std::string kLens2 = "\t2.[Lens  24- 70mm], AF Tune - All range: [-5],  TELE/NEAR - 1/2: [1] "
                           "1/2 <-> 3/4: [-2],  3/4 <-> WIDE/INFINITY: [4]\n";
const std::string kLens3 = "\t3.[Lens 100mm], AF Tune - All range: [default],  TELE/NEAR - 1/2: [default],  "
                           "1/2 <-> 3/4: [default],  3/4 <-> WIDE/INFINITY: [default]\n";
const std::string kLens4 = "\t4.[Lens  70-200mm], AF Tune - All range: [-127],  TELE/NEAR - 1/2: [-1] "
                           "1/2 <-> 3/4: [0],  3/4 <-> WIDE/INFINITY: [127]\n";
const std::string kSampleList = kLens1 + kLens2 + kLens3 + kLens4;

Bytes readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), {});
}

void writeFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Changes byte `offset` of the newest version of `logical` page in an image.
void patchLogical(Bytes& image, int logical, int offset, uint8_t value)
{
    int newest = -1;
    for (int p = 0; p < 63; ++p) {
        if (image[p * 64] == logical)
            newest = p;
    }
    ASSERT_GE(newest, 0);
    image[newest * 64 + 4 + offset] = value;
}

class OfflineRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "pelago-offline-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        _dir = pattern;
        _file = _dir / "lenses.dat";
        fs::copy_file(kSample, _file);
    }
    void TearDown() override { fs::remove_all(_dir); }

    ProcessResult run(const std::vector<std::string>& options, const std::string& input)
    {
        std::vector<std::string> args = options;
        args.push_back(_file.string());
        ProcessResult r = runProcess(kExe, args, input, std::chrono::seconds(20), "PelagoXcon");
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "");
        return r;
    }

    fs::path _dir;
    fs::path _file;
};

TEST_F(OfflineRoad, DisplayDumpsTheEmulatedEepromWithoutAQuestion)
{
    ProcessResult r = run({"-d"}, "");
    ASSERT_EQ(r.out.substr(0, 1), "\n");
    std::vector<std::string> lines;
    size_t start = 1;
    for (size_t end; (end = r.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(r.out.substr(start, end - start));
    EXPECT_EQ(start, r.out.size());
    ASSERT_EQ(lines.size(), 105u);
    for (const auto& line : lines)
        ASSERT_EQ(line.size(), 48u) << line;
    EXPECT_EQ(lines[0], " 45 58 30 32 FF FF FF FF FF FF FF FF FF FF FF FF");
    EXPECT_EQ(lines[7], " FF FF B7 00 00 6A 04 04 95 00 32 00 32 00 0C 00");
    EXPECT_EQ(readFile(_file), readFile(kSample));

    EXPECT_EQ(run({"-d", "-l"}, "1\n").out, r.out);
}

TEST_F(OfflineRoad, ListingEndsOnAnythingButALensNumber)
{
    for (const char* input : {"0\n", "5\n", "x\n", "\n", ""})
        EXPECT_EQ(run({"-l"}, input).out, "\n" + kSampleList + kLensPrompt) << input;
}

TEST_F(OfflineRoad, DialogueShowsCurrentValuesAndDefaultsWrongOnes)
{
    ProcessResult r = run({"-l"}, "2\n-1\n\n128\nabc\n0\nn\n");
    const std::string tuned2 = "\t2.[Lens  24- 70mm], AF Tune - All range: [-1],  TELE/NEAR - 1/2: [default],  "
                               "1/2 <-> 3/4: [default],  3/4 <-> WIDE/INFINITY: [default]\n";
    EXPECT_EQ(r.out, "\n" + kSampleList + kLensPrompt +
                         "\tAF Tune - All range: [-5]" + kInputHint +
                         "\tRange: TELE/NEAR <-> 1/2 : [1]" + kInputHint + kWrong +
                         "\tRange: 1/2 <-> 3/4: [-2]" + kInputHint + kWrong +
                         "\tRange: 3/4 <-> WIDE/INFINITY: [4]" + kInputHint + kWrong + "\n" +
                         kLens1 + tuned2 + kLens3 + kLens4 + kLensPrompt + kQuestion);
    EXPECT_EQ(readFile(_file), readFile(kSample));

    // Defaults are asked in their own form.
    r = run({"-l"}, "3\n-127\n127\n0\n1\n0\nN\n");
    EXPECT_NE(r.out.find("\tAF Tune - All range: [default], input a value -127 <-> 127, or just enter "
                         "for default: \tRange: TELE/NEAR <-> 1/2 : [default], input"),
              std::string::npos);
    EXPECT_NE(r.out.find("\t3.[Lens 100mm], AF Tune - All range: [-127],  TELE/NEAR - 1/2: [127] "
                         "1/2 <-> 3/4: [0],  3/4 <-> WIDE/INFINITY: [1]\n"),
              std::string::npos);
}

TEST_F(OfflineRoad, SaveSkipsOtherCharactersAndKeepsTheTuning)
{
    ProcessResult r = run({"-l"}, "1\n-1\n-127\n64\n\n0\nx1 q\n\ny\n");
    EXPECT_EQ(r.out.substr(r.out.size() - kQuestion.size() - 26), kQuestion + "Adapter setting was saved\n");
    EXPECT_EQ(readFile(_file).size(), 4096u);
    EXPECT_FALSE(fs::exists(_file.string() + ".saving"));

    const std::string tuned1 = "\t1.[Lens  50mm], AF Tune - All range: [-1],  TELE/NEAR - 1/2: [-127] "
                               "1/2 <-> 3/4: [64],  3/4 <-> WIDE/INFINITY: [default]\n";
    EXPECT_EQ(run({"-l"}, "0\n").out, "\n" + tuned1 + kLens2 + kLens3 + kLens4 + kLensPrompt);
}

TEST_F(OfflineRoad, EndOfInputLeavesDialogueAndQuestionWithoutSaving)
{
    // Plain end of input, and /dev/zero behind the answers: NUL bytes
    // without end outlast the prompts, the lens choice and the question.
    const std::string answers = "2\n7\n";
    const std::string command = "printf '2\\n7\\n' | cat - /dev/zero | \"$0\" -l \"$1\"";
    const ProcessResult results[] = {
        run({"-l"}, answers),
        runProcess("/bin/sh", {"-c", command, kExe, _file.string()}, "", std::chrono::seconds(20)),
    };
    for (const ProcessResult& r : results) {
        EXPECT_EQ(r.exitStatus, 1);
        size_t wrong = 0;
        for (size_t at = 0; (at = r.out.find(kWrong, at)) != std::string::npos; ++at)
            ++wrong;
        EXPECT_EQ(wrong, 3u);
        EXPECT_NE(r.out.find("\t2.[Lens  24- 70mm], AF Tune - All range: [7],  TELE/NEAR - 1/2: [default], "),
                  std::string::npos);
        const std::string ending = kLensPrompt + kQuestion + "\nNo answer, adapter setting was not saved\n";
        EXPECT_EQ(r.out.substr(r.out.size() - std::min(ending.size(), r.out.size())), ending);
        EXPECT_EQ(readFile(_file), readFile(kSample));
    }
}

TEST_F(OfflineRoad, SignatureDecidesWhetherRecordsAreUsed)
{
    Bytes image = readFile(kSample);
    patchLogical(image, 0, 3, '1');
    writeFile(_file, image);
    EXPECT_EQ(run({"-l"}, "1\n").out,
              "\nOld data format, please update your adapter with latest firmware.\n");
    patchLogical(image, 0, 3, '3');
    writeFile(_file, image);
    EXPECT_EQ(run({"-d"}, "").out, "\nAdapter setting was corrupted\n");
}

TEST_F(OfflineRoad, LensCountsAtTheEdges)
{
    Bytes image = readFile(kSample);
    patchLogical(image, 1, 58, 0);
    writeFile(_file, image);
    EXPECT_EQ(run({"-l"}, "1\n").out, "\nNo lens available for AF tune, quit\n");

    // More records than fit: the rest of the table is listed, no further.
    patchLogical(image, 1, 58, 200);
    writeFile(_file, image);
    ProcessResult r = run({"-l"}, "79\n");
    size_t listed = 0;
    for (size_t at = 0; (at = r.out.find(".[Lens", at)) != std::string::npos; ++at)
        ++listed;
    EXPECT_EQ(listed, 78u);
    EXPECT_NE(r.out.find("\t78.[Lens 65535mm], AF Tune - All range: [default], "), std::string::npos);
    const std::string ending = "Note: 200 lenses recorded, only the first 78 fit in the adapter setting\n"
                               "Enter 0 to quit, 1-78 to tune a lens: ";
    EXPECT_EQ(r.out.substr(r.out.size() - ending.size()), ending);
}

TEST_F(OfflineRoad, DamagedRowIsReportedInsteadOfMoved)
{
    // Every page of the row holding lens 1 claims logical page 2: the row
    // is full and cannot be moved to the spare row.
    Bytes image = readFile(kSample);
    int newest = 0;
    for (int p = 0; p < 63; ++p) {
        if (image[p * 64] == 2)
            newest = p;
    }
    int first = newest / 4 * 4;
    for (int p = first; p < first + 4; ++p)
        std::copy(image.begin() + newest * 64, image.begin() + newest * 64 + 64, image.begin() + p * 64);
    writeFile(_file, image);

    ProcessResult r = run({"-l"}, "1\n1\n2\n3\n4\n0\nn\n");
    EXPECT_NE(r.out.find("Failed in writing lens 1, the adapter setting is damaged\n\n" + kLens1),
              std::string::npos);
    EXPECT_EQ(readFile(_file), image);
}

TEST_F(OfflineRoad, NonSettingsFileIsNamedFormattedAndSavedWholeOrNotAtAll)
{
    // Said before the question, so "y" is never a blind answer.
    const std::string note = _file.string() + " is not a valid adapter setting file; a blank setting has been formatted\n";
    const std::string asked = "\n" + note + kQuestion;
    const std::string saved = asked + "Adapter setting was saved\n";
    const std::string kept = asked + _file.string() + " is larger than an adapter setting file; it was not changed\n";
    struct Case {
        size_t size;        // of the file, all 0x5A
        const char* answer;
        std::string out;
        size_t sizeAfter;   // 0: unchanged
    };
    for (const Case& c : {Case{5000, "n\n", asked, 0}, Case{0, "Y", saved, 4096}, Case{100, "y\n", saved, 4096},
                          Case{8192, "y\n", saved, 8192}, Case{8193, "y\n", kept, 0},
                          Case{24096, "y\n", kept, 0}}) {
        SCOPED_TRACE(c.size);
        writeFile(_file, Bytes(c.size, 0x5A));
        EXPECT_EQ(run({"-d"}, c.answer).out, c.out);
        if (c.sizeAfter == 0) {
            EXPECT_EQ(readFile(_file), Bytes(c.size, 0x5A));
            continue;
        }
        EXPECT_EQ(fs::file_size(_file), c.sizeAfter);
        // The next run finds a settings file and has nothing to ask.
        EXPECT_EQ(run({"-d"}, "y\n").out.find(kQuestion), std::string::npos);
    }

    writeFile(_file, Bytes(4096, 0xFF));
    EXPECT_EQ(run({"-l"}, "y\n").out, saved);
    Bytes image = readFile(_file);
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(image[0], 0xFF);      // spare row 0
    EXPECT_EQ(image[256], 0);       // logical page 0
    EXPECT_EQ(image[3648], 27);     // logical page 27, row 14
    EXPECT_EQ(std::string(image.begin() + 4032, image.begin() + 4044), "EEtAMORP.umE");
    EXPECT_EQ(run({"-l"}, "").out, "\nAdapter setting was corrupted\n");
}

TEST_F(OfflineRoad, MissingFileIsReported)
{
    fs::path missing = _dir / "missing.dat";
    ProcessResult r = runProcess(kExe, {"-l", missing.string()}, "", std::chrono::seconds(20), "PelagoXcon");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nFailed in opening adapter setting file " + missing.string() + ", abort\n");

}

TEST_F(OfflineRoad, UnreadableFileIsNotTakenForAnEmptyOne)
{
    // Opens, but every read fails: formatting it and offering to save would
    // be built on bytes that were never read.
    ProcessResult r = runProcess(kExe, {"-l", _dir.string()}, "y\n", std::chrono::seconds(20),
                                 "PelagoXcon");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "\nFailed in opening adapter setting file " + _dir.string() + ", abort\n");
    EXPECT_TRUE(fs::is_directory(_dir));
}

TEST(SampleSettingsFile, IsWhatTheGeneratorWrites)
{
    std::string pattern = (fs::temp_directory_path() / "pelago-sample-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    fs::path generated = fs::path(pattern) / "lenses.dat";
    ProcessResult r = runProcess(MKSETTINGS_EXE, {generated.string()});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(readFile(generated), readFile(kSample));
    fs::remove_all(pattern);
}

} // namespace
