#include "TraceShow.h"

#include "Bootloader.h"
#include "TerminalText.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sstream>

namespace qrbtrace {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

std::string duration(uint64_t us) {
    if (us < 10000) {
        return format("%.3f ms", static_cast<double>(us) / 1e3);
    }
    if (us < 1000000) {
        return format("%.1f ms", static_cast<double>(us) / 1e3);
    }
    return format("%.3f s", static_cast<double>(us) / 1e6);
}

// Up to `most` bytes in hex, "…" after them when there are more.
std::string hex(const std::vector<uint8_t>& bytes, size_t most = 16) {
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < most; ++i) {
        text += format(i == 0 ? "%02X" : " %02X", bytes[i]);
    }
    if (bytes.size() > most) {
        text += " \u2026";
    }
    return text;
}

uint32_t bigEndian(const std::vector<uint8_t>& bytes, size_t at) {
    return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
           uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
}

// Bytes taken from the exchange: the times of the first and of the last.
struct Taken {
    std::vector<uint8_t> bytes;
    uint64_t firstUs = 0;
    uint64_t lastUs = 0;
};

// A cursor over the exchange that takes bytes of one direction across the
// bursts in a row, and stops at anything else.
class Cursor {
  public:
    explicit Cursor(const std::vector<TraceEvent>& events) : events_(events) {}

    bool done() const { return event_ >= events_.size(); }
    const TraceEvent& current() const { return events_[event_]; }
    void skipEvent() {
        ++event_;
        byte_ = 0;
    }
    bool at(TraceEventKind kind) const { return !done() && current().kind == kind; }
    uint32_t speed() const { return done() ? 0 : current().speed; }

    // Up to n bytes of the bursts of this kind that come next.
    Taken take(TraceEventKind kind, uint64_t n) {
        Taken taken;
        bool first = true;
        while (taken.bytes.size() < n && at(kind)) {
            const TraceEvent& e = current();
            const size_t count = static_cast<size_t>(
                std::min<uint64_t>(n - taken.bytes.size(), e.bytes.size() - byte_));
            if (first) {
                taken.firstUs = timeOf(e, byte_);
                first = false;
            }
            taken.bytes.insert(taken.bytes.end(), e.bytes.begin() + static_cast<ptrdiff_t>(byte_),
                               e.bytes.begin() + static_cast<ptrdiff_t>(byte_ + count));
            byte_ += count;
            taken.lastUs = timeOf(e, byte_ - 1);
            if (byte_ == e.bytes.size()) {
                skipEvent();
            }
        }
        return taken;
    }
    // Every byte of the bursts of this kind in a row.
    Taken takeAll(TraceEventKind kind) { return take(kind, UINT64_MAX); }

  private:
    // A byte's time, spread evenly over its burst.
    static uint64_t timeOf(const TraceEvent& e, size_t index) {
        if (e.bytes.size() < 2) {
            return e.timeUs;
        }
        return e.timeUs + e.durationUs * index / (e.bytes.size() - 1);
    }

    const std::vector<TraceEvent>& events_;
    size_t event_ = 0;
    size_t byte_ = 0;
};

std::string versionText(const std::vector<uint8_t>& bytes) {
    if (bytes.size() >= 4 && bytes[0] == 0xFF && bytes[1] == 0xFF && bytes[2] == 0xFF &&
        bytes[3] == 0xFF) {
        return "none (FF FF FF FF: no valid firmware)";
    }
    return format("%u.%u.%u", bytes[0], bytes[1], bytes[2]);
}

class Printer {
  public:
    Printer(const Trace& trace, std::ostream& out)
        : trace_(trace), out_(out), cursor_(trace.events) {}

    void run() {
        header();
        while (!cursor_.done()) {
            next();
        }
        footer();
    }

  private:
    struct Line {
        std::string text;
        bool exchange = false; // a line of the exchange with the board
    };

    void header() {
        const TraceHeader& h = trace_.header;
        out_ << "Trace of " << h.program << ' ' << h.programVersion << ", started " << h.started
             << "\n";
        out_ << "board " << (h.board.empty() ? std::string("(serial number unknown)") : h.board);
        if (!h.tty.empty()) {
            out_ << " on " << h.tty;
        }
        out_ << "\nimage " << h.imageVersion << ", SHA-256 " << h.imageSha256 << "\n";
        out_ << "result: " << result() << "\n\n";
        out_ << format("%12s %10s  %s\n", "time (s)", "gap", "exchange");
    }

    std::string result() const {
        const auto& failure = trace_.header.failure;
        if (!failure) {
            return "succeeded";
        }
        return "failed: " + failure->name + " in \"" + failure->step + "\": " + failure->reason;
    }

    void footer() {
        // The failure struck at the last exchange with the board.
        const auto& failure = trace_.header.failure;
        for (auto it = lines_.rbegin(); failure && it != lines_.rend(); ++it) {
            if (it->exchange) {
                it->text += "   <-- " + failure->name;
                break;
            }
        }
        for (const Line& line : lines_) {
            out_ << line.text << '\n';
        }
        out_ << "\n"
             << (failure ? "Failed here: " + result().substr(8)
                         : std::string("The attempt succeeded."))
             << "\n";
    }

    // A line that starts at startUs; the gap is counted from the end of the
    // one before.
    void print(uint64_t startUs, uint64_t endUs, const std::string& text, bool exchange) {
        const std::string gap = haveEnd_ && startUs >= lastEndUs_
                                    ? "+" + duration(startUs - lastEndUs_)
                                    : std::string();
        lines_.push_back({format("%5" PRIu64 ".%06" PRIu64 " %10s  ", startUs / 1000000,
                                 startUs % 1000000, gap.c_str()) +
                              text,
                          exchange});
        lastEndUs_ = std::max(endUs, startUs);
        haveEnd_ = true;
    }

    // The board's answer of n bytes to a request that ended at requestEndUs,
    // with the time it took; fewer bytes when the board said no more.
    Taken answer(uint64_t n, uint64_t requestEndUs, std::string& timing) {
        Taken taken = cursor_.take(TraceEventKind::BoardToHost, n);
        if (!taken.bytes.empty() && taken.firstUs >= requestEndUs) {
            timing = " (after " + duration(taken.firstUs - requestEndUs) + ")";
        }
        return taken;
    }

    static std::string missing(const Taken& taken, uint64_t wanted) {
        return taken.bytes.empty() ? "no answer"
                                   : format("only %zu of %" PRIu64 " bytes: %s", taken.bytes.size(),
                                            wanted, hex(taken.bytes).c_str());
    }

    void next() {
        const TraceEvent& e = cursor_.current();
        if (e.kind == TraceEventKind::HostToBoard) {
            command();
            return;
        }
        if (e.kind == TraceEventKind::BoardToHost) {
            const uint32_t speed = e.speed;
            const Taken taken = cursor_.takeAll(TraceEventKind::BoardToHost);
            print(taken.firstUs, taken.lastUs,
                  format("%6u  board sent %zu bytes unasked: %s", speed, taken.bytes.size(),
                         hex(taken.bytes).c_str()),
                  true);
            return;
        }
        other(e);
        cursor_.skipEvent();
    }

    void other(const TraceEvent& e) {
        switch (e.kind) {
        case TraceEventKind::Open:
            print(e.timeUs, e.timeUs, format("%6u  open %s", e.speed, e.text.c_str()), false);
            break;
        case TraceEventKind::OpenFailed:
            print(e.timeUs, e.timeUs,
                  format("        open %s failed: errno %" PRId64 " %s", e.text.c_str(), e.value,
                         std::strerror(static_cast<int>(e.value))),
                  true);
            break;
        case TraceEventKind::Close:
            print(e.timeUs, e.timeUs, "        close", false);
            break;
        case TraceEventKind::Speed:
            print(e.timeUs, e.timeUs, format("%6u  line speed now %u baud", e.speed, e.speed),
                  false);
            break;
        case TraceEventKind::ModemLines: {
            std::string names;
            const struct {
                int bit;
                const char* name;
            } kLines[] = {{0x002, "DTR"}, {0x004, "RTS"}, {0x020, "CTS"},
                          {0x040, "CD"},  {0x080, "RI"},  {0x100, "DSR"}};
            for (const auto& line : kLines) {
                if ((e.value & line.bit) != 0) {
                    names += std::string(names.empty() ? "" : " ") + line.name;
                }
            }
            print(e.timeUs, e.timeUs,
                  "        modem lines: " + (names.empty() ? std::string("none set") : names),
                  false);
            break;
        }
        case TraceEventKind::Timeout:
            print(e.timeUs, e.timeUs + e.durationUs,
                  "        no byte from the board within " + duration(e.durationUs), true);
            break;
        case TraceEventKind::ReadFailed:
            print(e.timeUs, e.timeUs,
                  e.value == 0 ? std::string("        read failed: end of file (the board is gone)")
                               : format("        read failed: errno %" PRId64 " %s", e.value,
                                        std::strerror(static_cast<int>(e.value))),
                  true);
            break;
        case TraceEventKind::WriteFailed:
            print(e.timeUs, e.timeUs,
                  e.value < 0 ? format("        write cut short after %" PRIu64 " bytes", e.written)
                              : format("        write failed: errno %" PRId64 " %s", e.value,
                                       std::strerror(static_cast<int>(e.value))),
                  true);
            break;
        case TraceEventKind::Step:
            lines_.push_back({format("%5" PRIu64 ".%06" PRIu64 " %10s  -- %s --",
                                     e.timeUs / 1000000, e.timeUs % 1000000, "", e.text.c_str()),
                              false});
            break;
        case TraceEventKind::Overflow:
            print(e.timeUs, e.timeUs, "        (the recording stopped keeping bytes here)", false);
            break;
        case TraceEventKind::HostToBoard:
        case TraceEventKind::BoardToHost:
            break;
        }
    }

    // A request of the host: the command byte and what follows, then the answer.
    void command() {
        const uint32_t speed = cursor_.speed();
        const Taken code = cursor_.take(TraceEventKind::HostToBoard, 1);
        const uint8_t c = code.bytes[0];
        const uint64_t start = code.firstUs;
        const auto request = [&](uint64_t more) {
            return cursor_.take(TraceEventKind::HostToBoard, more);
        };
        const std::string baud = format("%6u  ", speed);
        std::string timing;

        // What the host sends to the running firmware, and the synchronisation.
        if (c == reset_sequence[0]) {
            const Taken rest = request(1);
            if (rest.bytes.size() == 1 && rest.bytes[0] == reset_sequence[1]) {
                print(start, rest.lastUs, baud + "reset (E5 7F)", true);
                return;
            }
            unknown(start, speed, code, rest);
            return;
        }
        if (c == sync_sequence[0]) {
            const Taken rest = request(sync_sequence_length - 1);
            if (rest.bytes !=
                std::vector<uint8_t>(sync_sequence + 1, sync_sequence + sync_sequence_length)) {
                unknown(start, speed, code, rest);
                return;
            }
            const Taken echo = answer(8, rest.lastUs, timing);
            const std::vector<uint8_t> wanted(sync_sequence, sync_sequence + sync_sequence_length);
            const bool inStep = std::search(echo.bytes.begin(), echo.bytes.end(), wanted.begin(),
                                            wanted.end()) != echo.bytes.end();
            print(start, echo.bytes.empty() ? rest.lastUs : echo.lastUs,
                  baud + "sync (AA 55 A5 5A) -> " +
                      (echo.bytes.empty()
                           ? std::string("no answer")
                           : hex(echo.bytes) + (inStep ? ": in step" : ": not the echo")) +
                      timing,
                  true);
            return;
        }
        switch (c) {
        case kCommandVersion: {
            const Taken got = answer(5, code.lastUs, timing);
            std::string text = baud + "version query (05) -> ";
            if (got.bytes.size() < 5) {
                text += missing(got, 5);
            } else {
                text += hex(got.bytes) + ": " + versionText(got.bytes) +
                        (got.bytes[4] == kCommandVersion
                             ? std::string(", acknowledged")
                             : format(", not acknowledged (%u)", got.bytes[4]));
            }
            print(start, got.bytes.empty() ? code.lastUs : got.lastUs, text + timing, true);
            return;
        }
        case kCommandUnseal:
        case kCommandExit: {
            const Taken got = answer(1, code.lastUs, timing);
            std::string text =
                baud + (c == kCommandUnseal ? "unseal (01) -> " : "exit to the firmware (06) -> ");
            text += got.bytes.empty() ? std::string("no answer") : acknowledgement(got.bytes[0], c);
            print(start, got.bytes.empty() ? code.lastUs : got.lastUs, text + timing, true);
            return;
        }
        case kCommandSeal: {
            const Taken rest = request(3);
            std::string text = baud + "seal (04)";
            if (rest.bytes.size() == 3) {
                text += format(" with %u.%u.%u", rest.bytes[0], rest.bytes[1], rest.bytes[2]);
            } else {
                text += " (request cut short)";
            }
            reply(start, rest.bytes.empty() ? code.lastUs : rest.lastUs, text, c);
            return;
        }
        case kCommandJump: {
            const Taken rest = request(4);
            std::string text = baud + "jump (07)";
            text += rest.bytes.size() == 4 ? format(" to 0x%08X", bigEndian(rest.bytes, 0))
                                           : std::string(" (request cut short)");
            reply(start, rest.bytes.empty() ? code.lastUs : rest.lastUs, text, c);
            return;
        }
        case kCommandProgram:
            program(start, speed, code);
            return;
        case kCommandVerify:
            verify(start, speed, code);
            return;
        default:
            unknown(start, speed, code, cursor_.takeAll(TraceEventKind::HostToBoard));
            return;
        }
    }

    static std::string acknowledgement(uint8_t got, uint8_t command) {
        if (got == command) {
            return format("%02X: done", got);
        }
        return format("%02X: %s", got, got == 0x15 ? "refused" : "not the acknowledgement");
    }

    // A one-byte answer to a request that ended at endUs.
    void reply(uint64_t start, uint64_t endUs, std::string text, uint8_t command) {
        std::string timing;
        const Taken got = answer(1, endUs, timing);
        text += " -> " + (got.bytes.empty() ? std::string("no answer")
                                            : acknowledgement(got.bytes[0], command));
        print(start, got.bytes.empty() ? endUs : got.lastUs, text + timing, true);
    }

    void unknown(uint64_t start, uint32_t speed, const Taken& first, const Taken& rest) {
        std::vector<uint8_t> bytes = first.bytes;
        bytes.insert(bytes.end(), rest.bytes.begin(), rest.bytes.end());
        print(start, rest.bytes.empty() ? first.lastUs : rest.lastUs,
              format("%6u  host sent %zu bytes that are no command: %s", speed, bytes.size(),
                     hex(bytes).c_str()),
              true);
    }

    // What program and verify begin with: an address and a count, and the
    // board's acceptance. Prints the line and returns nothing when the
    // request is cut short or not accepted.
    struct Request {
        uint32_t count = 0;
        std::string text;
        uint64_t acceptedUs = 0;
    };
    std::optional<Request> addressedRequest(uint64_t start, uint32_t speed, const Taken& code,
                                            uint8_t command, const char* name, const char* unit) {
        const Taken request = cursor_.take(TraceEventKind::HostToBoard, 8);
        if (request.bytes.size() < 8) {
            unknown(start, speed, code, request);
            return std::nullopt;
        }
        Request taken;
        taken.count = bigEndian(request.bytes, 4);
        taken.text = format("%6u  %s (%02X) 0x%08X, %u %s", speed, name, command,
                            bigEndian(request.bytes, 0), taken.count, unit);
        std::string timing;
        const Taken accepted = answer(1, request.lastUs, timing);
        if (accepted.bytes.empty() || accepted.bytes[0] != command) {
            taken.text +=
                " -> " + (accepted.bytes.empty() ? std::string("no answer")
                                                 : acknowledgement(accepted.bytes[0], command));
            print(start, accepted.bytes.empty() ? request.lastUs : accepted.lastUs,
                  taken.text + timing, true);
            return std::nullopt;
        }
        taken.text += " -> accepted" + timing;
        taken.acceptedUs = accepted.lastUs;
        return taken;
    }

    void program(uint64_t start, uint32_t speed, const Taken& code) {
        const auto request =
            addressedRequest(start, speed, code, kCommandProgram, "program", "words");
        if (!request) {
            return;
        }
        const uint32_t words = request->count;
        const std::string& text = request->text;
        uint64_t end = request->acceptedUs;
        // Bytes sent from the aligned address on, a leading word included,
        // which is the first word of the first block but in no checksum.
        uint64_t sent = 0;
        uint64_t blockStart = 0;
        uint64_t blocks = 0;
        std::string outcome;
        if (cursor_.at(TraceEventKind::HostToBoard)) {
            const Taken leading = cursor_.take(TraceEventKind::HostToBoard, 4);
            end = leading.lastUs;
            if (leading.bytes.size() < 4) {
                outcome = "; the leading word cut short";
            }
            sent = leading.bytes.size();
        }
        while (outcome.empty() && sent < uint64_t{words} * 4) {
            const Taken count = cursor_.take(TraceEventKind::BoardToHost, 4);
            if (count.bytes.size() < 4) {
                outcome = "; block " + std::to_string(blocks + 1) + ": " +
                          (count.bytes.empty() ? std::string("no block count")
                                               : "block count cut short: " + hex(count.bytes));
                end = count.bytes.empty() ? end : count.lastUs;
                break;
            }
            const uint32_t n = bigEndian(count.bytes, 0);
            const uint64_t blockEnd = blockStart + uint64_t{n} * 4;
            const uint64_t due = blockEnd > sent ? blockEnd - sent : 0;
            const Taken data = cursor_.take(TraceEventKind::HostToBoard, due);
            uint32_t checksum = 0;
            for (size_t i = 0; i + 4 <= data.bytes.size(); i += 4) {
                checksum ^= bigEndian(data.bytes, i);
            }
            sent += data.bytes.size();
            ++blocks;
            end = data.bytes.empty() ? count.lastUs : data.lastUs;
            if (data.bytes.size() < due) {
                outcome = format("; block %" PRIu64
                                 " of %u words: the host sent %zu of its %" PRIu64 " bytes",
                                 blocks, n, data.bytes.size(), due);
                break;
            }
            const Taken board = cursor_.take(TraceEventKind::BoardToHost, 4);
            if (board.bytes.size() < 4) {
                outcome = format("; block %" PRIu64 ": ", blocks) + missing(board, 4) +
                          " for its checksum";
                end = board.bytes.empty() ? end : board.lastUs;
                break;
            }
            end = board.lastUs;
            if (bigEndian(board.bytes, 0) != checksum) {
                outcome = format("; block %" PRIu64 ": the board's checksum %08X, the host's %08X: "
                                 "they differ",
                                 blocks, bigEndian(board.bytes, 0), checksum);
            }
            blockStart = blockEnd;
        }
        if (outcome.empty()) {
            outcome =
                format("; %" PRIu64 " block%s, checksums match", blocks, blocks == 1 ? "" : "s");
        }
        print(start, end, text + outcome, true);
    }

    void verify(uint64_t start, uint32_t speed, const Taken& code) {
        const auto request =
            addressedRequest(start, speed, code, kCommandVerify, "verify", "bytes");
        if (!request) {
            return;
        }
        const uint32_t length = request->count;
        std::string text = request->text;
        const Taken data = cursor_.take(TraceEventKind::HostToBoard, length);
        uint64_t end = data.bytes.empty() ? request->acceptedUs : data.lastUs;
        if (data.bytes.size() < length) {
            print(start, end, text + format("; the host sent %zu of the bytes", data.bytes.size()),
                  true);
            return;
        }
        std::string verdictTiming;
        const Taken verdict = answer(1, end, verdictTiming);
        if (verdict.bytes.empty()) {
            text += "; no verdict";
        } else if (verdict.bytes[0] == kCommandVerify) {
            text += "; the data match" + verdictTiming;
        } else {
            text +=
                format("; verdict %02X: %s", verdict.bytes[0],
                       verdict.bytes[0] == 0x01 ? "the data differ" : "not the acknowledgement") +
                verdictTiming;
        }
        print(start, verdict.bytes.empty() ? end : verdict.lastUs, text, true);
    }

    const Trace& trace_;
    std::ostream& out_;
    Cursor cursor_;
    std::vector<Line> lines_;
    uint64_t lastEndUs_ = 0;
    bool haveEnd_ = false;
};

} // namespace

void showTrace(const Trace& trace, std::ostream& out) {
    // Every text of a trace came from a board or the system: on a person's
    // terminal a control character in it shows as '?', line by line.
    std::ostringstream shown;
    Printer(trace, shown).run();
    std::istringstream lines(shown.str());
    for (std::string line; std::getline(lines, line);) {
        out << terminalText(line) << '\n';
    }
}

int runTraceShowCommand(const std::vector<std::string>& args, std::ostream& out,
                        std::ostream& err) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << "Usage: trace show FILE\n"
               "Prints a serial trace (.qrbtrace) as a readable exchange: each command of the\n"
               "bootloader protocol with its answer and timing, and where the attempt failed.\n";
        return 0;
    }
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-') {
        err << "usage: trace show FILE\n";
        return 64;
    }
    Trace trace;
    try {
        trace = readTraceFile(args[0]);
    } catch (const TraceFormatError& e) {
        if (e.line() == 0) {
            err << "trace show: " << terminalText(e.what()) << "\n";
        } else {
            err << "trace show: " << terminalText(args[0] + ": " + e.what()) << "\n";
        }
        return 1;
    }
    showTrace(trace, out);
    return 0;
}

} // namespace qrbtrace
