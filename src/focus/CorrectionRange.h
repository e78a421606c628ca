// The range of an autofocus correction: what the adapter's settings hold
// and what the focus assistant proposes. Constants only, so that the focus
// core and the settings code share it without either's other headers.
#pragma once

constexpr int kAfMin = -127;
constexpr int kAfMax = 127;
