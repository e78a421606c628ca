// PortFactory: the port factory of the platform the program is built for.
#pragma once

#if defined(_WIN32)
#include "WinPortFactory.h"
using PortFactory = WinPortFactory;
#elif defined(__EMSCRIPTEN__)
#include "WebPortFactory.h"
using PortFactory = WebPortFactory;
#else
#include "PosixPortFactory.h"
using PortFactory = PosixPortFactory;
#endif
