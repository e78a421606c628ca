// How an action block of the device road ends, and the few helpers the
// blocks share for talking to the console.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "DriverValues.h"
#include "Printable.h"

// Completed: the device road goes on with its next block.
// Aborted: the run ends with exit status 1.
enum class BlockResult { Completed, Aborted };

// Closes a file opened by an action block on every way out of it,
// exceptions from the monitor client included.
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Flushes progress written so far to stdout. Under some C runtimes stdout
// is fully buffered when it is a pipe; without this a reader would see the
// progress only at exit, after later messages on stderr.
inline void showProgress()
{
    std::fflush(stdout);
}

// Why a file could not be saved, on stderr after the message on stdout it
// explains; on a line of its own, as the road's failures: the port note
// before it has none.
inline void printSaveFailureReason(const std::string& reason)
{
    showProgress();
    std::fprintf(stderr, "\nReason: %s\n", printable(reason).c_str());
}

// The timing line of a timed block: seconds since timer_start.
inline void printElapsed()
{
    std::printf("done in %5.3f seconds\n", timer_stop());
}
