// Ctrl-C handled by the command while it lives, and SIGTERM and SIGHUP (kill, a closed
// terminal) handled just like it: the first one calls `handler`, which asks the work to
// stop cleanly; a second one of the same kind kills at once, as usual.
#pragma once

#include <signal.h>

class ScopedInterrupt {
public:
    explicit ScopedInterrupt(void (*handler)(int)) {
        struct sigaction interrupt{};
        interrupt.sa_handler = handler;
        interrupt.sa_flags = SA_RESETHAND;  // no SA_RESTART: a waiting prompt gives up
        sigemptyset(&interrupt.sa_mask);
        for (int i = 0; i < Count; ++i) sigaction(Signals[i], &interrupt, &previous_[i]);
    }
    ~ScopedInterrupt() {
        for (int i = 0; i < Count; ++i) sigaction(Signals[i], &previous_[i], nullptr);
    }
    ScopedInterrupt(const ScopedInterrupt&) = delete;
    ScopedInterrupt& operator=(const ScopedInterrupt&) = delete;

private:
    static constexpr int Count = 3;
    static constexpr int Signals[Count] = {SIGINT, SIGTERM, SIGHUP};
    struct sigaction previous_[Count]{};
};
