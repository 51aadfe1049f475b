#include "cli/progress_bar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace {

int TerminalWidth() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

std::string Duration(double seconds) {
    if (seconds < 0 || seconds > 359999) return "--:--";
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

std::string HumanSize(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

ProgressBar::ProgressBar(std::ostream& err, bool enabled, uint64_t total, std::string verb)
    : err_(err), enabled_(enabled), total_(total), verb_(std::move(verb)),
      start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { Clear(); }

void ProgressBar::Clear() {
    if (!shown_) return;
    err_ << "\r\x1b[K" << std::flush;
    shown_ = false;
}

void ProgressBar::Pause() {
    Clear();
    if (paused_) return;
    paused_ = true;
    pausedAt_ = std::chrono::steady_clock::now();
}

void ProgressBar::Resume() {
    if (!paused_) return;
    paused_ = false;
    start_ += std::chrono::steady_clock::now() - pausedAt_;
}

void ProgressBar::Update(uint64_t done) {
    if (!enabled_ || paused_) return;
    auto now = std::chrono::steady_clock::now();
    // Nothing for the first moments: a quick run should leave the terminal untouched.
    if (now - start_ < std::chrono::milliseconds(300)) return;
    if (shown_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    double elapsed = std::chrono::duration<double>(now - start_).count();
    double rate = elapsed > 0 ? done / elapsed : 0;
    double fraction = total_ > 0 ? static_cast<double>(done) / total_ : 0;
    if (fraction > 1) fraction = 1;
    double left = rate > 0 && total_ > done ? (total_ - done) / rate : 0;

    char numbers[160];
    // Every field has a fixed width, so that the bar keeps one length as the numbers change.
    std::snprintf(numbers, sizeof numbers, " %3d%% %10s / %10s  %10s/s  ETA %8s", static_cast<int>(fraction * 100),
                  HumanSize(static_cast<double>(done)).c_str(), HumanSize(static_cast<double>(total_)).c_str(),
                  HumanSize(rate).c_str(), Duration(left).c_str());
    std::string line = verb_ + " ";
    int room = TerminalWidth() - 1 - static_cast<int>(line.size()) - static_cast<int>(std::string(numbers).size()) - 2;
    if (room >= 10) {
        int width = room > 40 ? 40 : room;
        int filled = static_cast<int>(fraction * width);
        line += "[" + std::string(filled, '#') + std::string(width - filled, '-') + "]";
    }
    line += numbers;
    err_ << "\r" << line << "\x1b[K" << std::flush;
    shown_ = true;
}
