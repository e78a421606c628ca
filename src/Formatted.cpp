#include "Formatted.h"

#include <cstdio>
#include <vector>

std::string formattedList(const char* format, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::vector<char> text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    return text.data();
}

std::string formatted(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = formattedList(format, args);
    va_end(args);
    return text;
}
