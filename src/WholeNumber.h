// A whole number a user types, in a field or on a command line, and the
// words a refusal states its range in.
#pragma once

#include <string>

// Whether `text` is a whole decimal number from `lo` to `hi` and nothing
// else: a sign if any, then digits, leading zeros allowed. Blanks around it
// are the caller's to trim or refuse. `value` is set only on true.
bool parseWholeNumber(const std::string& text, long lo, long hi, long& value);

// "a whole number from LO to HI".
std::string wholeNumberText(long lo, long hi);
