#include "Pause.h"

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#else
#include <chrono>
#include <thread>
#endif

void pauseMs(int millisecs)
{
    if (millisecs <= 0)
        return;
#ifdef __EMSCRIPTEN__
    emscripten_sleep(static_cast<unsigned>(millisecs));
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(millisecs));
#endif
}
