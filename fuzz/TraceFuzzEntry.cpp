// The trace reader, fed with any bytes as a trace file: it accepts a whole,
// well-formed trace and refuses anything else with a TraceFormatError; what
// it accepts is written back with the same events (its texts made plain, then
// unchanged) and shown without a fault.

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
    // The writer shows a text's control characters (C0, DEL, C1, bytes
    // that are not UTF-8) as '?', so what it writes back is the trace with
    // its texts made plain: the same events, and written again unchanged.
    const auto writtenBack = [](const qrbtrace::Trace& from) {
        std::ostringstream written;
        qrbtrace::writeTrace(written, from);
        std::istringstream again(written.str());
        try {
            return qrbtrace::readTrace(again);
        } catch (const qrbtrace::TraceFormatError& error) {
            throw FuzzFinding(std::string("a trace written back is refused: ") + error.what());
        }
    };
    const qrbtrace::Trace back = writtenBack(trace);
    if (back.events.size() != trace.events.size()) {
        throw FuzzFinding("a trace written back has other events");
    }
    const qrbtrace::Trace twice = writtenBack(back);
    if (!(twice.header == back.header) || twice.events != back.events) {
        throw FuzzFinding("a trace written back reads differently");
    }
    std::ostringstream shown;
    qrbtrace::showTrace(trace, shown);
}
