#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "ConsoleInput.h"

namespace {

// A stream over `text`, closed when it goes out of scope.
class Input {
public:
    explicit Input(const std::string& text) : _text(text)
    {
        _file = fmemopen(_text.data(), _text.size(), "r");
        if (_text.empty())
            _file = std::tmpfile();  // fmemopen refuses an empty buffer
    }
    ~Input() { std::fclose(_file); }
    FILE* get() { return _file; }

private:
    std::string _text;
    FILE* _file;
};

} // namespace

TEST(GetInt, ConvertsLikePercentD)
{
    struct Case {
        const char* line;
        int result;
        int value;  // expected value; 99 means unchanged
    };
    const Case cases[] = {
        {"  -42\n", 1, -42}, {"12abc\n", 1, 12}, {"0x10\n", 1, 0},  {"+7\n", 1, 7},
        {"\n", EOF, 99},     {"   \t\n", EOF, 99}, {"x\n", 0, 99},  {"-\n", 0, 99},
        {"- 5\n", 0, 99},    {"127", 1, 127},
    };
    for (const Case& c : cases) {
        Input in(c.line);
        int value = 99;
        EXPECT_EQ(get_int(&value, in.get()), c.result) << c.line;
        EXPECT_EQ(value, c.value) << c.line;
    }
}

TEST(GetInt, ReadsOneLineAtATime)
{
    using namespace std::string_literals;
    struct Read {
        int result;
        int value;  // 99: unchanged
        bool ended;
    };
    struct Case {
        std::string input;
        std::vector<Read> reads;
    };
    const std::string endless(kConsoleLineLimit + 10, '\0');
    const Case cases[] = {
        {"5\n\n-3\n", {{1, 5, false}, {EOF, 99, false}, {1, -3, false}, {EOF, 99, true}}},
        // A NUL is line content: it stops the number, never the line.
        {"5\0x\n7\n"s, {{1, 5, false}, {1, 7, false}}},
        {"\0\n3\n"s, {{0, 99, false}, {1, 3, false}}},
        {" \0 8\n9\n"s, {{0, 99, false}, {1, 9, false}}},
        // No line end in sight: stop at the limit and count as ended.
        {endless, {{EOF, 99, true}, {0, 99, true}}},
        {std::string(kConsoleLineLimit - 1, 'x') + "\n4\n", {{0, 99, false}, {1, 4, false}}},
    };
    for (const Case& c : cases) {
        Input in(c.input);
        for (size_t i = 0; i < c.reads.size(); ++i) {
            int value = 99;
            EXPECT_EQ(get_int(&value, in.get()), c.reads[i].result) << c.input.size() << " read " << i;
            EXPECT_EQ(value, c.reads[i].value) << c.input.size() << " read " << i;
            EXPECT_EQ(input_ended(in.get()), c.reads[i].ended) << c.input.size() << " read " << i;
        }
    }
}

TEST(GetInt, EndOfInputIsNeverANumber)
{
    Input in("");
    int value = 99;
    EXPECT_NE(get_int(&value, in.get()), 1);
    EXPECT_EQ(value, 99);
}

TEST(GetInt, OverlongLinesAreCutAndTheirRestDropped)
{
    std::string longLine = "8" + std::string(4999, '1') + "\n17\n";
    Input in(longLine);
    int value = 0;
    EXPECT_EQ(get_int(&value, in.get()), 1);
    EXPECT_EQ(value, INT_MAX);  // clamped, not undefined
    EXPECT_EQ(get_int(&value, in.get()), 1);
    EXPECT_EQ(value, 17);

    Input blanks(std::string(5000, ' ') + "9\n");
    value = 99;
    EXPECT_EQ(get_int(&value, blanks.get()), EOF);  // the 9 lies beyond the cut
    EXPECT_EQ(value, 99);
}

TEST(GetInt, OutOfRangeNumbersAreClamped)
{
    Input in("-99999999999999999999\n");
    int value = 0;
    EXPECT_EQ(get_int(&value, in.get()), 1);
    EXPECT_EQ(value, INT_MIN);
}
