#include "RuntimeName.h"

#include <cstdlib>

void setRuntimeProgramName(char* name)
{
    __argv[0] = name;
}
