// Ctrl-C handled by the command while it lives: the first one calls `handler`, which
// asks the work to stop cleanly; a second one kills at once, as usual.
#pragma once

#include <signal.h>

class ScopedInterrupt {
public:
    explicit ScopedInterrupt(void (*handler)(int)) {
        struct sigaction interrupt{};
        interrupt.sa_handler = handler;
        interrupt.sa_flags = SA_RESETHAND;  // no SA_RESTART: a waiting prompt gives up
        sigemptyset(&interrupt.sa_mask);
        sigaction(SIGINT, &interrupt, &previous_);
    }
    ~ScopedInterrupt() { sigaction(SIGINT, &previous_, nullptr); }
    ScopedInterrupt(const ScopedInterrupt&) = delete;
    ScopedInterrupt& operator=(const ScopedInterrupt&) = delete;

private:
    struct sigaction previous_{};
};
