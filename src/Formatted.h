// printf's output as a string, for the lines the tool builds before it
// prints or hands them on.
#pragma once

#include <cstdarg>
#include <string>

// `format` filled in as printf fills it, of any length.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same, from a va_list the caller started (and ends).
std::string formattedList(const char* format, va_list args);
