// The trace reader, fed with any bytes as a trace file: it accepts a whole,
// well-formed trace and refuses anything else with a TraceFormatError; what
// it accepts is written back the same and shown without a fault.

#include "FuzzEntries.h"
#include "TraceFormat.h"
#include "TraceShow.h"
#include "TraceWriter.h"

#include <sstream>
#include <string>

void fuzzTraceFile(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    qrbtrace::Trace trace;
    try {
        trace = qrbtrace::readTrace(in);
    } catch (const qrbtrace::TraceFormatError& error) {
        if (error.line() == 0) {
            throw FuzzFinding("a refusal that names no line");
        }
        return;
    }
    if (trace.events.size() != trace.eventLines.size()) {
        throw FuzzFinding("an event without its line");
    }
    std::ostringstream written;
    qrbtrace::writeTrace(written, trace);
    std::istringstream again(written.str());
    qrbtrace::Trace back;
    try {
        back = qrbtrace::readTrace(again);
    } catch (const qrbtrace::TraceFormatError& error) {
        throw FuzzFinding(std::string("a trace written back is refused: ") + error.what());
    }
    if (!(back.header == trace.header) || back.events != trace.events) {
        throw FuzzFinding("a trace written back reads differently");
    }
    std::ostringstream shown;
    qrbtrace::showTrace(trace, shown);
}
