// Text from outside the tool (process names from /proc, file and port
// names, the adapter's serial number, version text and type letter) on its
// way to the console: it must never reach a terminal as control sequences.
#pragma once

#include <string>

// `text` as it may be shown on a console whose encoding is UTF-8 (`utf8`)
// or any other. Each byte that could act as a control is written as \xHH
// (two upper-case hex digits): C0 controls (below 0x20) and DEL always;
// with `utf8`, the bytes of each C1 control (U+0080-U+009F) and every byte
// that is not part of a valid UTF-8 sequence, other sequences kept as they
// are; otherwise every byte from 0x80 up, as a lone 0x9B is itself a
// control in 8-bit character sets.
std::string printable(const std::string& text, bool utf8);

// `text` for this process's console: printable(text, consoleIsUtf8()).
std::string printable(const std::string& text);

// Whether the console takes UTF-8. POSIX: the character set the locale
// variables name (LC_ALL, else LC_CTYPE, else LANG, the first one set and
// not empty) is UTF-8. Windows: the console's output code page is UTF-8.
bool consoleIsUtf8();
