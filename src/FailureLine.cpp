#include "FailureLine.h"

#include <cstdarg>

#include "Formatted.h"

namespace {

std::string g_failureLine;

} // namespace

void printFailure(std::FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = formattedList(format, args);
    va_end(args);
    std::fputs(text.c_str(), stream);

    // Messages start or end with line ends of their own; the sentence is the
    // last line with words in it.
    std::string printed = text;
    while (!printed.empty() && printed.back() == '\n')
        printed.pop_back();
    keepFailureLine(printed.substr(printed.rfind('\n') + 1));
}

void keepFailureLine(const std::string& line)
{
    g_failureLine = line;
}

const std::string& lastFailureLine()
{
    return g_failureLine;
}

void clearFailureLine()
{
    g_failureLine.clear();
}
