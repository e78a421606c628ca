// The program name the C runtime's own diagnostics show.
#pragma once

// Makes the runtime's getopt_long diagnostics show `name` (the cut program
// name) as the driver's messages do. The Windows runtime takes the name from
// its own copy of the command line, not from the argv handed to getopt_long.
// `name` must live as long as the process.
void setRuntimeProgramName(char* name);
