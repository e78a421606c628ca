// The sentence that says why a run failed, kept as the console printed it,
// for a front end that shows one line where the console shows its output.
#pragma once

#include <cstdio>
#include <string>

// Prints `format` as fprintf does and keeps the last line it printed as the
// run's failure line. A reason that follows a message on its own line
// ("Reason: ...") and the timing line are printed otherwise: they do not
// say what failed.
void printFailure(std::FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Keeps `line`, printed by other means, as the run's failure line.
void keepFailureLine(const std::string& line);

// The failure line printed last since clearFailureLine; "" when none was.
const std::string& lastFailureLine();
void clearFailureLine();
