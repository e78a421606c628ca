// Progress of a long transfer (a firmware or settings write, an area read).
// On a terminal it is one line redrawn in place: the label, a bar, the
// percentage, KiB done of KiB total and the seconds since the start. Off a
// terminal (a pipe, a file) the output stays what scripts already parse: a
// dot per block for writes, nothing at all for reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Progress {
public:
    // What the transfer prints when standard output is not a terminal.
    enum class OffTerminal {
        Dots,    // the label, then one '.' per advance()
        Silent,  // nothing
    };

    // Prints the label (Silent: only on a terminal) and an empty bar.
    // `totalBytes` is the size of the whole transfer.
    Progress(const char* label, uint32_t totalBytes, OffTerminal offTerminal);

    // `bytes` more are done. Redraws at most every kRedrawMs, so that drawing
    // never slows a transfer of many small blocks.
    void advance(uint32_t bytes);
    // Draws the final state and leaves the cursor at the end of the line,
    // where the caller's text follows; a Silent transfer's line is blanked
    // out instead, so a terminal shows what a pipe would get.
    void finish();

private:
    // " NN% done/total KiB S.Ss"
    std::string _stats(uint32_t done, double seconds) const;
    void _draw();

    std::string _label;
    uint32_t _total;
    uint32_t _done = 0;
    bool _terminal;
    OffTerminal _offTerminal;
    size_t _barWidth = 0;
    size_t _drawnWidth = 0;
    std::chrono::steady_clock::time_point _start;
    std::chrono::steady_clock::time_point _lastDraw;
};

// Told of every transfer's progress whether or not stdout is a terminal, so
// a front end other than the console (the web page) can draw its own bar:
// `done` of `total` bytes, at the start, at each redraw and at the finish.
using ProgressObserver = void (*)(const char* label, uint32_t done, uint32_t total);
// Sets the observer (null: none, the default).
void setProgressObserver(ProgressObserver observer);

// Whether standard output is a terminal (a console on Windows).
bool stdoutIsTerminal();
