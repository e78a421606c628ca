#include "ConsoleInput.h"

#include <climits>
#include <cstdlib>

namespace {

constexpr size_t kLineBufferSize = 2048;

// Set when the last get_int gave up on a line that had no end in sight.
bool g_inputCut = false;

// The line as sscanf("%d") would convert it, with NUL bytes taken as
// ordinary characters (they stop the number like any other).
int convertDecimal(const char* line, size_t length, int* value)
{
    const char* p = line;
    const char* end = line + length;
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\v' || *p == '\f'))
        ++p;
    if (p == end)
        return EOF;
    // sscanf("%d") would have undefined behaviour on out-of-range numbers.
    char* numberEnd = nullptr;
    long number = std::strtol(p, &numberEnd, 10);
    if (numberEnd == p)
        return 0;
    if (number > INT_MAX)
        number = INT_MAX;
    else if (number < INT_MIN)
        number = INT_MIN;
    *value = static_cast<int>(number);
    return 1;
}

} // namespace

int get_int(int* value, FILE* in)
{
    // Read byte by byte: a line-based read would lose the line's end behind
    // a NUL and then take the next line for the rest of this one.
    char line[kLineBufferSize];
    size_t length = 0;
    size_t consumed = 0;
    int c = EOF;
    g_inputCut = false;
    while (consumed < kConsoleLineLimit && (c = std::fgetc(in)) != EOF && c != '\n') {
        ++consumed;
        if (length < sizeof line - 1)
            line[length++] = static_cast<char>(c);
    }
    if (c != '\n' && consumed == kConsoleLineLimit) {
        g_inputCut = true;
        return EOF;
    }
    if (c == EOF && consumed == 0)
        return EOF;
    line[length] = '\0';
    return convertDecimal(line, length, value);
}

bool input_ended(FILE* in)
{
    return g_inputCut || std::feof(in) || std::ferror(in);
}

