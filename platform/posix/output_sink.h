// Extraction into a stream instead of a folder (daduvivu extract -p): while a sink is
// set, the files the core creates are made nowhere. Their bytes go to the sink in the
// order they are written, folders count as made, and no name is found existing, so no
// question is asked and nothing touches the file system.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/platform.h"

// Takes the bytes of every file written; false stops the run as a failed write. An empty
// function turns the sink off.
using OutputSink = std::function<bool(const void* bytes, uint32_t n)>;
void PosixSetOutputSink(OutputSink sink);

// The seam's side.
bool OutputSinkActive();
constexpr PlatFile SinkFile = -2;  // the one file the sink stands for
bool SinkWrite(const void* bytes, uint32_t n);
