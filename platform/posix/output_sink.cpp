#include "platform/posix/output_sink.h"

#include <utility>

namespace {
OutputSink Sink;
}

void PosixSetOutputSink(OutputSink sink) { Sink = std::move(sink); }
bool OutputSinkActive() { return static_cast<bool>(Sink); }
bool SinkWrite(const void* bytes, uint32_t n) { return Sink && Sink(bytes, n); }
