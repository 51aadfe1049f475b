// One line on a terminal showing bytes done, rate and time left. Drawn only when the
// stream is a terminal; otherwise every call does nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

class ProgressBar {
public:
    ProgressBar(std::ostream& err, bool enabled, uint64_t total, std::string verb);
    ~ProgressBar();
    // Redraws at most ten times a second.
    void Update(uint64_t done);
    // Erases the bar so that other output can take the line; the next Update redraws it.
    void Clear();
    // Erases the bar and stops its clock while a question waits; Resume starts it again,
    // so that the rate and the time left leave out the wait.
    void Pause();
    void Resume();
    bool enabled() const { return enabled_; }

private:
    std::ostream& err_;
    bool enabled_;
    bool shown_ = false;
    uint64_t total_;
    std::string verb_;
    std::chrono::steady_clock::time_point start_, lastDraw_, pausedAt_;
    bool paused_ = false;
};

// "12.3 MiB", "456 B": sizes for people.
std::string HumanSize(double bytes);
