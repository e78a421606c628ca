#include <cstdio>

#include "PelagoXcon.h"

int main(int argc, char** argv)
{
    // The Windows runtime buffers stderr like any stream when it is a pipe;
    // the driver's messages count on it being unbuffered to stay in order
    // with stdout, which it flushes before each of them.
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    return pelagoMain(argc, argv);
}
