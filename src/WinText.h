// Text between the ANSI code page, which command-line paths arrive in and
// every other path of the tool uses, and the wide API (file names of any
// length and character, the console). Windows only.
#pragma once

#include <string>

// `text` in UTF-16; "" when it cannot be converted.
std::wstring widenAnsi(const std::string& text);

// `text` in the ANSI code page; a character it lacks becomes '?'. "" when
// it cannot be converted.
std::string narrowAnsi(const std::wstring& text);
