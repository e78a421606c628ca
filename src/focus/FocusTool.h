// The console program pelagoxcon-focus: the chart, measuring a photo and
// proposing a value, each a command of its own.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace focus {

// Exit statuses: a result, a refusal or failure, a bad command line.
constexpr int kExitResult = 0;
constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

// Runs one command line (without the program's name), printing results on
// `out` and refusals, failures and usage errors on `err`.
int runFocusTool(const std::vector<std::string>& args, FILE* out, FILE* err);

}  // namespace focus
