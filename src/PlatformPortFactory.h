// PortFactory: the port factory of the platform the program is built for.
#pragma once

#ifdef _WIN32
#include "WinPortFactory.h"
using PortFactory = WinPortFactory;
#else
#include "PosixPortFactory.h"
using PortFactory = PosixPortFactory;
#endif
