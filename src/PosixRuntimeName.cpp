#include "RuntimeName.h"

void setRuntimeProgramName(char*)
{
    // glibc's getopt_long names the program by the argv it is given.
}
