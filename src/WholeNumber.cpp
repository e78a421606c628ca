#include "WholeNumber.h"

#include <algorithm>
#include <cctype>

bool parseWholeNumber(const std::string& text, long lo, long hi, long& value)
{
    const bool negative = !text.empty() && text[0] == '-';
    const size_t first = negative || (!text.empty() && text[0] == '+') ? 1 : 0;
    if (first == text.size())
        return false;
    // Digits past the larger bound cannot come back into range; stopping
    // there keeps any number of them from overflowing.
    const long bound = std::max(hi, -lo);
    long number = 0;
    for (size_t i = first; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])) || number > bound)
            return false;
        number = number * 10 + (text[i] - '0');
    }
    number = negative ? -number : number;
    if (number < lo || number > hi)
        return false;
    value = number;
    return true;
}

std::string wholeNumberText(long lo, long hi)
{
    return "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
}
