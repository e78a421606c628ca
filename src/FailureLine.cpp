#include "FailureLine.h"

#include <cstdarg>
#include <vector>

namespace {

std::string g_failureLine;

} // namespace

void printFailure(std::FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::vector<char> text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    std::fputs(text.data(), stream);

    // Messages start or end with line ends of their own; the sentence is the
    // last line with words in it.
    std::string printed(text.data());
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
