#include "runtime/runtime.h"

#include <windows.h>

namespace {

constexpr int HandlerCapacity = 4;
ExitHandler Handlers[HandlerCapacity];
int HandlerCount;

}  // namespace

void RegisterExitHandler(ExitHandler handler) {
    if (HandlerCount < HandlerCapacity) Handlers[HandlerCount++] = handler;
}

void EndProcess(int code) {
    // Taken off the list before it runs, so a fatal error inside a handler cannot run
    // it a second time.
    while (HandlerCount > 0) {
        ExitHandler handler = Handlers[--HandlerCount];
        handler();
    }
    ExitProcess(static_cast<UINT>(code));
}
