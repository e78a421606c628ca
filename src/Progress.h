// Progress of a long transfer (a firmware or settings write, an area read).
// On a terminal it is one line redrawn in place, in one layout for every
// transfer: the label, a bar taking what the rest leaves of the terminal's
// width, the percentage, the amount done of the total (bytes below 10 KiB,
// KiB above) and the seconds since the start. Off a terminal (a pipe, a
// file), or on one narrower than kMinBarColumns, the output is what scripts
// already parse: a dot per block for writes, nothing at all for reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

class Progress {
public:
    // What the transfer prints where no bar is drawn.
    enum class OffTerminal {
        Dots,    // the label, then one '.' per advance()
        Silent,  // nothing
    };

    // Narrower terminals get the dots (or nothing) instead of the bar.
    static constexpr int kMinBarColumns = 30;
    // Redraws come at most this often, and at the finish.
    static constexpr int kRedrawMs = 100;

    // Prints the label (Silent: only with a bar) and an empty bar.
    // `totalBytes` is the size of the whole transfer.
    Progress(const char* label, uint32_t totalBytes, OffTerminal offTerminal);
    // A bar that was not finished (the transfer failed or was interrupted)
    // gets its line ended, so the next text starts on a line of its own.
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `bytes` more are done. Redraws at most every kRedrawMs, so that drawing
    // never slows a transfer of many small blocks.
    void advance(uint32_t bytes);
    // Draws the final state, then prints `then`, the text that follows on
    // the same line (" Done\n"): the bar leaves it room within the width.
    // A Silent transfer's line is blanked out instead, so a terminal shows
    // what a pipe would get.
    void finish(const char* then = "");

private:
    // " NN% done/total UNIT S.Ss", as wide at the start as at the end
    // (until the seconds pass 999.9).
    std::string _stats(double seconds) const;
    void _draw();

    std::string _label;
    uint32_t _total;
    uint32_t _done = 0;
    bool _bar;  // a bar on a terminal, else dots or nothing
    bool _finished = false;
    OffTerminal _offTerminal;
    size_t _drawnWidth = 0;
    size_t _reserved = 0;  // columns the text after the final drawing takes
    std::chrono::steady_clock::time_point _start;
    std::chrono::steady_clock::time_point _lastDraw;
};

// Told of every transfer's progress whether or not stdout is a terminal, so
// a front end other than the console (the web page) can draw its own bar:
// `done` of `total` bytes, at the start, after each advance and at the finish.
using ProgressObserver = void (*)(const char* label, uint32_t done, uint32_t total);
// Sets the observer (null: none, the default).
void setProgressObserver(ProgressObserver observer);

// Whether standard output is a terminal (a console on Windows).
bool stdoutIsTerminal();

// The width of the terminal on standard output in columns, asked afresh on
// every call (the user may resize it); kAssumedColumns when it cannot be
// told (not a terminal, or one that reports no size).
int stdoutColumns();
constexpr int kAssumedColumns = 80;
