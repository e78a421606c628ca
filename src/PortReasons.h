// The wording of a port failure that is the same on every system; each
// port factory adds its own for what only its system can tell (who owns or
// holds a device). Every text is one line without its line end.
#pragma once

#include <string>
#include <vector>

// The named port is not there; `ports` are the ones that are (full names),
// listed so the user can pick one, or an empty list.
std::string notFoundReason(const std::vector<std::string>& ports);
// The port opened but nothing on it answered as the adapter's boot monitor.
std::string noAnswerReason();
// The port refused to open or to take the line settings for another reason.
std::string openFailedReason();
