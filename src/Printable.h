// Text from outside the tool (process names from /proc, file and port
// names, the adapter's serial number and version text) on its way to the
// console: it must never reach a terminal as control sequences.
#pragma once

#include <string>

// `text` with every control byte (below 0x20, and 0x7F) written as \xHH
// (two upper-case hex digits); every other byte, UTF-8 sequences included,
// is kept as it is.
std::string printable(const std::string& text);
