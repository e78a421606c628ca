#include "Progress.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr size_t kMinBarWidth = 5;  // the label is cut before the bar gets narrower
constexpr uint32_t kBytesPerKiB = 1024;
constexpr uint32_t kBytesShownBelow = 10 * kBytesPerKiB;  // smaller totals count bytes
constexpr char kDoneMark = '#';
constexpr char kToDoMark = '-';

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

int stdoutColumns()
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0)
            return columns;
    }
#else
    winsize size{};
    if (ioctl(fileno(stdout), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return kAssumedColumns;
}

Progress::Progress(const char* label, uint32_t totalBytes, OffTerminal offTerminal)
    : _label(label), _total(totalBytes),
      _bar(stdoutIsTerminal() && stdoutColumns() >= kMinBarColumns), _offTerminal(offTerminal),
      _start(std::chrono::steady_clock::now()), _lastDraw(_start)
{
    if (g_observer)
        g_observer(label, 0, _total);
    if (_bar)
        _draw();
    else if (_offTerminal == OffTerminal::Dots)
        std::fputs(label, stdout);
    std::fflush(stdout);
}

Progress::~Progress()
{
    if (_bar && !_finished && _drawnWidth > 0) {
        std::putchar('\n');
        std::fflush(stdout);
    }
}

void Progress::advance(uint32_t bytes)
{
    _done = std::min(_total, _done + bytes);
    if (g_observer)
        g_observer(_label.c_str(), _done, _total);
    if (!_bar) {
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

void Progress::finish(const char* then)
{
    _finished = true;
    if (g_observer)
        g_observer(_label.c_str(), _done, _total);
    if (_bar && _offTerminal == OffTerminal::Silent) {
        // Within today's width: the terminal may have narrowed since.
        int blank = std::min(static_cast<int>(_drawnWidth), std::max(0, stdoutColumns() - 1));
        std::printf("\r%*s\r", blank, "");
    } else if (_bar) {
        _reserved = std::strcspn(then, "\n");
        _draw();
    }
    std::fputs(then, stdout);
    std::fflush(stdout);
}

std::string Progress::_stats(double seconds) const
{
    unsigned percent = _total == 0 ? 100 : static_cast<unsigned>(uint64_t(_done) * 100 / _total);
    bool kib = _total >= kBytesShownBelow;
    unsigned divisor = kib ? kBytesPerKiB : 1;
    const char* unit = kib ? "KiB" : "B";
    char amount[48];
    std::snprintf(amount, sizeof amount, "%u/%u %s", _done / divisor, _total / divisor, unit);
    char widest[48];
    std::snprintf(widest, sizeof widest, "%u/%u %s", _total / divisor, _total / divisor, unit);
    char stats[128];
    std::snprintf(stats, sizeof stats, " %3u%% %*s %5.1fs", percent, static_cast<int>(std::string(widest).size()),
                  amount, seconds);
    return stats;
}

void Progress::_draw()
{
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - _start).count();
    // One column stays free: writing into the last one makes some terminals wrap.
    int columns = stdoutColumns() - 1 - static_cast<int>(_reserved);
    size_t width = static_cast<size_t>(std::max(1, columns));
    std::string stats = _stats(seconds);
    std::string line;
    if (width < stats.size() + 3) {
        // Narrowed below what a bar needs since the start: the figures alone.
        line = stats.substr(0, width);
    } else {
        size_t room = width - stats.size() - 2;  // for the label and the bar, between brackets
        size_t labelRoom = room > kMinBarWidth ? room - kMinBarWidth : 0;
        std::string label = _label.substr(0, std::min(_label.size(), labelRoom));
        size_t barWidth = room - label.size();
        size_t filled = _total == 0 ? barWidth : static_cast<size_t>(uint64_t(_done) * barWidth / _total);
        line = label + "[" + std::string(filled, kDoneMark) + std::string(barWidth - filled, kToDoMark) + "]" + stats;
    }
    // Blank what a longer line drawn before left behind, within the width.
    size_t blank = std::min(_drawnWidth, width) > line.size() ? std::min(_drawnWidth, width) - line.size() : 0;
    std::printf("\r%s%*s", line.c_str(), static_cast<int>(blank), "");
    if (blank > 0)
        std::printf("\r%s", line.c_str());
    _drawnWidth = line.size();
}
