// The printable chart as a PNG (the SVG and PDF writers are in the core).
#pragma once

#include <string>

#include "Focus.h"

namespace focus {

constexpr int kDefaultDpi = 300;
constexpr int kMinDpi = 72;
constexpr int kMaxDpi = 1200;

// The whole page at `dpi` (kMinDpi .. kMaxDpi), white with the black chart,
// with its resolution stored so that it prints at 100 %.
std::string chartPng(Paper paper, int dpi);

}  // namespace focus
