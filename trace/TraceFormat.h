#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A serial trace: one attempt's exchange with a board, as the serial layer's
// recorder kept it, with a short header that says what the attempt was and
// how it ended. docs/trace-format.md describes the file; this is its data
// model and its reader, which the board simulator's replay uses too and which
// therefore depends on nothing of the host's.
namespace qrbtrace {

inline constexpr int kTraceFormatVersion = 1;
// The file name extension of a trace.
inline constexpr const char* kTraceExtension = ".qrbtrace";
// Bytes of a burst on its first line and on each continuation line.
inline constexpr size_t kBytesPerLine = 64;

enum class TraceEventKind {
    Open,        // text: the path; speed
    OpenFailed,  // text: the path; value: errno
    Close,       //
    Speed,       // speed: the new line speed
    ModemLines,  // value: TIOCM_* bits found at the open
    HostToBoard, // a burst the host sent: bytes, speed, durationUs
    BoardToHost, // a burst the host received: bytes, speed, durationUs
    Timeout,     // the host waited durationUs for a byte and none came
    ReadFailed,  // value: errno (0: end of file, the device has gone)
    WriteFailed, // value: errno (-1: a short write); written: bytes written
    Step,        // text: the step the updater started
    Overflow,    // the recorder stopped keeping bytes here
};

// The word of each kind in the file ("open", ">", "<", "timeout", ...).
const char* traceEventWord(TraceEventKind kind);

struct TraceEvent {
    TraceEventKind kind = TraceEventKind::Step;
    uint64_t timeUs = 0;     // from the start of the recording
    uint64_t durationUs = 0; // bursts: first to last byte; Timeout: the wait
    uint32_t speed = 0;      // Open, Speed, bursts
    int64_t value = 0;       // errno, modem bits
    uint64_t written = 0;    // WriteFailed
    std::vector<uint8_t> bytes;
    std::string text;

    bool operator==(const TraceEvent&) const = default;
};

struct TraceFailure {
    std::string name;   // the exception's name, e.g. "SealingError"
    std::string step;   // the step it struck in, e.g. "Sealing the flash…"
    std::string reason; // the exception's reason

    bool operator==(const TraceFailure&) const = default;
};

struct TraceHeader {
    int formatVersion = kTraceFormatVersion;
    std::string program;                 // e.g. "qrb-updater"
    std::string programVersion;          // e.g. "1.0.0"
    std::string started;                 // UTC, ISO 8601 to the microsecond
    std::string board;                   // the adapter's serial number
    std::string tty;                     // the device path of the board
    std::string imageVersion;            // e.g. "1.2.3"
    std::string imageSha256;             // lower-case hex of the firmware image file; "-" unknown
    std::optional<TraceFailure> failure; // none: the attempt succeeded

    bool operator==(const TraceHeader&) const = default;
};

struct Trace {
    TraceHeader header;
    std::vector<TraceEvent> events;
    // The line of the file on which each event starts (filled by the reader).
    std::vector<size_t> eventLines;
};

// A file that is not a whole, well-formed trace. line() is the 1-based line
// where the reader found the fault (for a file cut short: the line after the
// last one it holds).
class TraceFormatError : public std::runtime_error {
  public:
    TraceFormatError(size_t line, const std::string& what);
    size_t line() const noexcept { return line_; }

  private:
    size_t line_;
};

// Reads a whole trace. Throws TraceFormatError for anything but a complete,
// well-formed file, never anything else for bad input.
Trace readTrace(std::istream& in);
// The same from a file; a file that cannot be opened is a TraceFormatError at line 0.
Trace readTraceFile(const std::string& path);

} // namespace qrbtrace
