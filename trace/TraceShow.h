#pragma once

#include "TraceFormat.h"

#include <ostream>
#include <string>
#include <vector>

namespace qrbtrace {

// Prints a trace as a readable exchange: the header, then each command of the
// bootloader protocol by name with its answer, the time it started, the time
// since the exchange before it and how long the board took to answer, the
// steps of the update between them, and where the attempt failed.
void showTrace(const Trace& trace, std::ostream& out);

// `trace show FILE`: args are the words after "trace show". Prints the trace
// to out; a file that cannot be read, or is not a whole trace, is one line on
// err naming the file and the line. Returns 0, 1 for a bad file, 64 for a
// usage error.
int runTraceShowCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace qrbtrace
