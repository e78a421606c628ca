#include "Progress.h"

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int kRedrawMs = 100;
constexpr size_t kLineWidth = 79;  // stays on one line of an 80-column terminal
constexpr size_t kMinBarWidth = 10;
constexpr size_t kMaxBarWidth = 30;
constexpr uint32_t kBytesPerKiB = 1024;
constexpr char kDoneMark = '#';
constexpr char kToDoMark = '-';
constexpr double kWidestSeconds = 999.9;  // wider only past a quarter of an hour

ProgressObserver g_observer = nullptr;

} // namespace

void setProgressObserver(ProgressObserver observer)
{
    g_observer = observer;
}

bool stdoutIsTerminal()
{
#ifdef _WIN32
    // _isatty is also true for NUL; only a console has a console mode.
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return isatty(fileno(stdout)) == 1;
#endif
}

Progress::Progress(const char* label, uint32_t totalBytes, OffTerminal offTerminal)
    : _label(label), _total(totalBytes), _terminal(stdoutIsTerminal()), _offTerminal(offTerminal),
      _start(std::chrono::steady_clock::now()), _lastDraw(_start)
{
    // Sized once for the widest figures, so the line never shrinks and
    // never leaves a stale tail behind.
    size_t widest = _label.size() + 2 + _stats(_total, kWidestSeconds).size();
    _barWidth = std::max(kMinBarWidth, std::min(kMaxBarWidth, kLineWidth - std::min(kLineWidth, widest)));
    if (g_observer)
        g_observer(label, 0, _total);
    if (_terminal)
        _draw();
    else if (_offTerminal == OffTerminal::Dots)
        std::fputs(label, stdout);
    std::fflush(stdout);
}

void Progress::advance(uint32_t bytes)
{
    _done = std::min(_total, _done + bytes);
    if (g_observer)
        g_observer(_label.c_str(), _done, _total);
    if (!_terminal) {
        if (_offTerminal == OffTerminal::Dots) {
            std::putchar('.');
            std::fflush(stdout);
        }
        return;
    }
    auto now = std::chrono::steady_clock::now();
    if (now - _lastDraw >= std::chrono::milliseconds(kRedrawMs)) {
        _lastDraw = now;
        _draw();
    }
}

void Progress::finish()
{
    if (g_observer)
        g_observer(_label.c_str(), _done, _total);
    if (!_terminal)
        return;
    if (_offTerminal == OffTerminal::Silent)
        std::printf("\r%*s\r", static_cast<int>(_drawnWidth), "");
    else
        _draw();
    std::fflush(stdout);
}

std::string Progress::_stats(uint32_t done, double seconds) const
{
    unsigned percent = _total == 0 ? 100 : static_cast<unsigned>(uint64_t(done) * 100 / _total);
    char stats[80];
    std::snprintf(stats, sizeof stats, " %3u%% %u/%u KiB %.1fs", percent, done / kBytesPerKiB,
                  _total / kBytesPerKiB, seconds);
    return stats;
}

void Progress::_draw()
{
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    size_t filled = _total == 0 ? _barWidth : static_cast<size_t>(uint64_t(_done) * _barWidth / _total);
    std::string line = _label + "[" + std::string(filled, kDoneMark) + std::string(_barWidth - filled, kToDoMark) +
                       "]" + _stats(_done, seconds);
    _drawnWidth = line.size();
    std::printf("\r%s", line.c_str());
}
