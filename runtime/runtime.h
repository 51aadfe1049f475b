// The stub's own runtime: it has no C library, so process exit, the exit handlers and
// the memory helpers that the compiler may call live here.
#pragma once

typedef void (*ExitHandler)();

// Handlers run once each, the latest registered first, on every end of the process.
void RegisterExitHandler(ExitHandler handler);
[[noreturn]] void EndProcess(int code);
