// Console input: the lines a dialogue reads (the lens tuning, the settings
// clearing's count), bounded so that no source can hold a dialogue for ever.
#pragma once

#include <cstddef>
#include <cstdio>

// Console input without a line end in this many bytes counts as ended, so
// an endless source (/dev/zero) cannot hold a dialogue for ever.
constexpr size_t kConsoleLineLimit = 64 * 1024;

// Reads one line from `in` (newline dropped; a NUL byte is ordinary line
// content; a line longer than 2047 characters is cut and its rest consumed)
// and converts it like sscanf("%d"): 1 with *value set when the line
// starts, after blanks, with a decimal number (trailing text ignored,
// out-of-range values clamped to int); 0 when it starts with anything else;
// -1 (EOF) when it is empty, blank, or input has ended. After
// kConsoleLineLimit bytes without a line end it stops reading and returns
// EOF as at end of input. *value is changed only on 1.
int get_int(int* value, FILE* in = stdin);

// True when `in` has ended or failed, or the last get_int gave up at the
// line-length limit: asking again would not bring a line.
bool input_ended(FILE* in = stdin);
