#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CmdOpts.h"
#include "HelpText.h"
#include "PelagoXcon.h"

namespace {

// argv storage that getopt_long may permute.
class Argv {
public:
    Argv(std::initializer_list<const char*> words)
    {
        for (const char* w : words)
            _words.emplace_back(w);
        for (auto& w : _words)
            _ptrs.push_back(w.data());
        _ptrs.push_back(nullptr);
    }
    Argv(const Argv&) = delete;
    int argc() const { return static_cast<int>(_words.size()); }
    char** argv() { return _ptrs.data(); }
    std::string at(int i) const { return _ptrs[i]; }

private:
    std::vector<std::string> _words;
    std::vector<char*> _ptrs;
};

std::string usageOf(const CmdOpts& parser)
{
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    parser.usage(out);
    std::fclose(out);
    std::string result(text, size);
    free(text);
    return result;
}

int parseWithTable(Argv& args)
{
    CmdOpts parser(args.argc(), args.argv(), kNumOpts, opts);
    return parser.parse();
}

} // namespace

TEST(CmdOptsUsage, ListsTheTableInElevenLinesWithHelpInColumn25)
{
    Argv args{"PelagoXcon"};
    CmdOpts parser(args.argc(), args.argv(), kNumOpts, opts);
    EXPECT_EQ(usageOf(parser), expectedUsage());
}

TEST(CmdOptsUsage, OptionalArgumentsAndOverlongColumnsPushTheHelpRight)
{
    int level = 0;
    bool seen = false, other = false;
    Option table[] = {
        {'v', "verbose", &seen, {ArgOptional, ArgInt, "LEVEL", {&level}}, "a\nb\nc"},
        {'x', "an-extremely-long-option-name-that-overflows", &other,
         {ArgRequired, ArgString, "VALUE", {nullptr}}, "help"},
    };
    Argv args{"t"};
    CmdOpts parser(args.argc(), args.argv(), 2, table);
    EXPECT_EQ(usageOf(parser),
              "  -v, --verbose[=LEVEL] a\n"
              "                        b\n"
              "                        c\n"
              // 39 characters survive the 40-byte column buffer, then the blank.
              "  -x, --an-extremely-long-option-name-t help\n");
}

TEST(CmdOptsFind, FirstRowWithTheLetterWinsAndMissingLettersGiveTheRowCount)
{
    bool a = false, b = false;
    Option table[] = {
        {'a', "alpha", &a, {ArgNone, ArgInt, nullptr, {nullptr}}, ""},
        {'a', "again", &b, {ArgNone, ArgInt, nullptr, {nullptr}}, ""},
    };
    Argv args{"t"};
    CmdOpts parser(args.argc(), args.argv(), 2, table);
    EXPECT_EQ(parser.find('a'), 0);
    EXPECT_EQ(parser.find('z'), 2);
    CmdOpts empty(args.argc(), args.argv(), 0, nullptr);
    EXPECT_EQ(empty.find('a'), 0);
    EXPECT_EQ(CmdOpts(args.argc(), args.argv(), kNumOpts, opts).find('c'), kNumOpts);
}

TEST(CmdOptsParse, EveryFormOfThePortOptionStoresItsArgument)
{
    const std::vector<std::vector<const char*>> forms = {
        {"--port=COM3"}, {"--port", "COM3"}, {"-pCOM3"}, {"-p", "COM3"}, {"--po", "COM3"}};
    for (const auto& form : forms) {
        Argv args = form.size() > 1 ? Argv{"PelagoXcon", form[0], form[1]} : Argv{"PelagoXcon", form[0]};
        config.portArg.clear();
        EXPECT_EQ(parseWithTable(args), args.argc()) << form[0];
        EXPECT_TRUE(config.port) << form[0];
        EXPECT_EQ(config.portArg, "COM3") << form[0];
    }
}

TEST(CmdOptsParse, TheLastPortWinsAndFlagsAreClearedBeforeEachParse)
{
    Argv first{"PelagoXcon", "-i", "-p", "COM3", "--port=COM7"};
    EXPECT_EQ(parseWithTable(first), 5);
    EXPECT_EQ(config.portArg, "COM7");
    EXPECT_TRUE(config.version);

    Argv second{"PelagoXcon", "-R"};
    EXPECT_EQ(parseWithTable(second), 2);
    EXPECT_FALSE(config.version);
    EXPECT_FALSE(config.port);
    EXPECT_TRUE(config.reset);
}

TEST(CmdOptsParse, NonOptionArgumentsAreMovedBehindTheOptions)
{
    Argv args{"PelagoXcon", "fw.bin", "-f", "-iR"};
    EXPECT_EQ(parseWithTable(args), 3);
    EXPECT_EQ(args.at(3), "fw.bin");
    EXPECT_TRUE(config.firmware_write);
    EXPECT_TRUE(config.version);
    EXPECT_TRUE(config.reset);
}

TEST(CmdOptsParse, DoubleDashEndsTheOptions)
{
    Argv args{"PelagoXcon", "-s", "--", "-i"};
    EXPECT_EQ(parseWithTable(args), 3);
    EXPECT_EQ(args.at(3), "-i");
    EXPECT_FALSE(config.version);
}

TEST(CmdOptsParse, UnknownOptionsAndMissingArgumentsFail)
{
    testing::internal::CaptureStderr();
    Argv unknown{"PelagoXcon", "-c"};
    EXPECT_EQ(parseWithTable(unknown), -1);
    Argv missing{"PelagoXcon", "-p"};
    EXPECT_EQ(parseWithTable(missing), -1);
    std::string diagnostics = testing::internal::GetCapturedStderr();
    EXPECT_NE(diagnostics.find("PelagoXcon"), std::string::npos);
}

TEST(CmdOptsParse, IntegerArgumentsUseStrtolBaseZero)
{
    int value = -1;
    bool seen = false;
    Option table[] = {{'n', "number", &seen, {ArgRequired, ArgInt, "N", {&value}}, ""}};
    const std::vector<std::pair<const char*, int>> cases = {
        {"-n0x10", 16}, {"-n010", 8}, {"-n42", 42}, {"-nabc", 0}};
    for (const auto& [word, expected] : cases) {
        Argv args{"t", word};
        CmdOpts parser(args.argc(), args.argv(), 1, table);
        EXPECT_EQ(parser.parse(), 2);
        EXPECT_EQ(value, expected) << word;
        EXPECT_TRUE(seen);
    }
}

TEST(CmdOptsParse, OptionalArgumentIsOnlyTakenWhenAttached)
{
    int level = 7;
    bool seen = false;
    Option table[] = {{'v', "verbose", &seen, {ArgOptional, ArgInt, "L", {&level}}, ""}};
    Argv detached{"t", "-v", "3"};
    CmdOpts p1(detached.argc(), detached.argv(), 1, table);
    EXPECT_EQ(p1.parse(), 2);
    EXPECT_EQ(level, 7);
    Argv attached{"t", "--verbose=3"};
    CmdOpts p2(attached.argc(), attached.argv(), 1, table);
    EXPECT_EQ(p2.parse(), 2);
    EXPECT_EQ(level, 3);
}

TEST(ProgramName, IsCutAfterTheLastSlashElseAfterTheLastBackslash)
{
    EXPECT_STREQ(cutProgramName("/usr/local/bin/PelagoXcon"), "PelagoXcon");
    EXPECT_STREQ(cutProgramName("C:\\tools\\PelagoXcon.exe"), "PelagoXcon.exe");
    EXPECT_STREQ(cutProgramName("dir\\sub/PelagoXcon"), "PelagoXcon");
    EXPECT_STREQ(cutProgramName("PelagoXcon"), "PelagoXcon");
    EXPECT_STREQ(cutProgramName("trailing/"), "");
}
