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

// Whether `text` can reach a console of that encoding byte for byte: it
// holds no C0 control, no DEL and no C1 control (with `utf8` the code
// points U+0080-U+009F and any byte outside a valid sequence, which such a
// console cannot show either; otherwise the bytes 0x80-0x9F).
bool printsAsIs(const std::string& text, bool utf8);

// `text` (a path or port name in a command the user is to paste) as the
// console's line shows it: its bytes as they are, so that it pastes into
// any shell, unless it holds a control; then printable(text), and
// `escaped` is set. On Windows a console judges the characters it will
// show (printErrorLine); redirected output gets printable(text), as every
// other name.
std::string pasteable(const std::string& text, bool& escaped);

// Writes `line` and a line end to stderr, after what stdout holds so far.
// On Windows a console gets it through the wide-character API, converted
// from the ANSI code page that paths arrive in, so that a path shows as it
// was typed whatever the console's code page; redirected output gets the
// bytes.
void printErrorLine(const std::string& line);
