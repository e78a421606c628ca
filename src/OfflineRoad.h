// The offline road: display (-d) or tune (-l) a settings file on the host.
#pragma once

// Loads `file`, displays or tunes it, offers to save; returns the run's
// exit status, which is always 1.
int offlineRoad(const char* file);
