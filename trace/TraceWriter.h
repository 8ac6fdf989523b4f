#pragma once

#include "TraceFormat.h"

#include <cstdint>
#include <ostream>
#include <string>

class SerialRecording;

namespace qrbtrace {

// Writes the header and the recording's exchange in the trace format
// (docs/trace-format.md). Times are written from the start of the recording.
void writeTrace(std::ostream& out, const TraceHeader& header, const SerialRecording& recording);

// The same for a trace held in memory (tests, tools).
void writeTrace(std::ostream& out, const Trace& trace);

// "2026-12-08T12:41:35.123456Z" for microseconds since the epoch.
std::string utcTimestamp(int64_t epochUs);

} // namespace qrbtrace
