#include "TraceWriter.h"

#include "SerialRecording.h"
#include "TerminalText.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace qrbtrace {

namespace {

void writeHeader(std::ostream& out, const TraceHeader& header) {
    out << "qrb-trace " << kTraceFormatVersion << '\n'
        << "program " << terminalText(header.program) << ' ' << terminalText(header.programVersion)
        << '\n'
        << "started " << terminalText(header.started) << '\n'
        << "board " << terminalText(header.board) << '\n'
        << "tty " << terminalText(header.tty) << '\n';
    std::string version = terminalText(header.imageVersion);
    std::replace(version.begin(), version.end(), ' ', '_');
    out << "image " << (version.empty() ? std::string("-") : version) << " sha256 "
        << (header.imageSha256.empty() ? std::string("-") : header.imageSha256) << '\n';
    if (header.failure) {
        const std::string name = terminalText(header.failure->name);
        out << "failure " << (name.empty() || name == "none" ? std::string("unknown") : name)
            << '\n'
            << "step " << terminalText(header.failure->step) << '\n'
            << "reason " << terminalText(header.failure->reason) << '\n';
    } else {
        out << "failure none\n";
    }
    out << "exchange\n";
}

// One event line's start: the time, right-aligned, and the event's word.
void writeTime(std::ostream& out, uint64_t us) {
    char text[40];
    std::snprintf(text, sizeof text, "%6" PRIu64 ".%06" PRIu64, us / 1000000, us % 1000000);
    out << text;
}

// Writes the hex of a burst's bytes, kBytesPerLine on the first line and on
// each continuation line; feed calls it with the bytes in pieces.
class BurstHex {
  public:
    explicit BurstHex(std::ostream& out) : out_(out) {}
    void feed(const uint8_t* bytes, size_t n) {
        static constexpr char kHex[] = "0123456789abcdef";
        for (size_t i = 0; i < n; ++i) {
            if (onLine_ == kBytesPerLine) {
                flush();
                out_ << "\n  ";
                onLine_ = 0;
            }
            buffer_[used_++] = kHex[bytes[i] >> 4];
            buffer_[used_++] = kHex[bytes[i] & 0x0F];
            ++onLine_;
            if (used_ == sizeof buffer_) {
                flush();
            }
        }
    }
    void flush() {
        out_.write(buffer_, static_cast<std::streamsize>(used_));
        used_ = 0;
    }

  private:
    std::ostream& out_;
    char buffer_[2 * kBytesPerLine];
    size_t used_ = 0;
    size_t onLine_ = 0;
};

struct Totals {
    uint64_t events = 0;
    uint64_t sent = 0;
    uint64_t received = 0;
};

// Writes one event line (and its continuation lines); bytes come through feedBytes.
template <typename FeedBytes>
void writeEvent(std::ostream& out, const TraceEvent& e, uint64_t bytesCount, FeedBytes feedBytes,
                Totals& totals) {
    writeTime(out, e.timeUs);
    out << ' ' << traceEventWord(e.kind);
    switch (e.kind) {
    case TraceEventKind::Open:
        out << ' ' << e.speed << ' ' << terminalText(e.text);
        break;
    case TraceEventKind::OpenFailed:
        out << ' ' << e.value << ' ' << terminalText(e.text);
        break;
    case TraceEventKind::Close:
    case TraceEventKind::Overflow:
        break;
    case TraceEventKind::Speed:
        out << ' ' << e.speed;
        break;
    case TraceEventKind::ModemLines:
    case TraceEventKind::ReadFailed:
        out << ' ' << e.value;
        break;
    case TraceEventKind::Timeout:
        out << ' ' << e.durationUs;
        break;
    case TraceEventKind::WriteFailed:
        out << ' ' << e.value << ' ' << e.written;
        break;
    case TraceEventKind::Step:
        out << ' ' << terminalText(e.text);
        break;
    case TraceEventKind::HostToBoard:
    case TraceEventKind::BoardToHost: {
        out << ' ' << e.speed << ' ' << bytesCount << ' ' << e.durationUs << ' ';
        BurstHex hex(out);
        feedBytes(hex);
        hex.flush();
        (e.kind == TraceEventKind::HostToBoard ? totals.sent : totals.received) += bytesCount;
        break;
    }
    }
    out << '\n';
    ++totals.events;
}

void writeEnd(std::ostream& out, const Totals& totals) {
    out << "end " << totals.events << ' ' << totals.sent << ' ' << totals.received << '\n';
}

TraceEventKind kindOf(SerialEventKind kind) {
    switch (kind) {
    case SerialEventKind::Open:
        return TraceEventKind::Open;
    case SerialEventKind::OpenFailed:
        return TraceEventKind::OpenFailed;
    case SerialEventKind::Close:
        return TraceEventKind::Close;
    case SerialEventKind::Speed:
        return TraceEventKind::Speed;
    case SerialEventKind::ModemLines:
        return TraceEventKind::ModemLines;
    case SerialEventKind::Sent:
        return TraceEventKind::HostToBoard;
    case SerialEventKind::Received:
        return TraceEventKind::BoardToHost;
    case SerialEventKind::Timeout:
        return TraceEventKind::Timeout;
    case SerialEventKind::ReceiveFailed:
        return TraceEventKind::ReadFailed;
    case SerialEventKind::SendFailed:
        return TraceEventKind::WriteFailed;
    case SerialEventKind::Mark:
        return TraceEventKind::Step;
    case SerialEventKind::Overflow:
        return TraceEventKind::Overflow;
    }
    return TraceEventKind::Overflow;
}

} // namespace

std::string utcTimestamp(int64_t epochUs) {
    const time_t seconds = static_cast<time_t>(epochUs / 1000000);
    tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(epochUs % 1000000));
    return text;
}

void writeTrace(std::ostream& out, const TraceHeader& header, const SerialRecording& recording) {
    writeHeader(out, header);
    const uint64_t origin = recording.startedUs();
    uint64_t last = 0;
    Totals totals;
    const size_t count = recording.eventCount();
    for (size_t i = 0; i < count; ++i) {
        const SerialEvent s = recording.event(i);
        const bool burst = s.kind == SerialEventKind::Sent || s.kind == SerialEventKind::Received;
        if (burst && s.length == 0) {
            continue; // its bytes did not fit: an overflow follows
        }
        TraceEvent e;
        e.kind = kindOf(s.kind);
        // Never before the event written last, whatever the clock's grain.
        e.timeUs = std::max(last, s.timeUs >= origin ? s.timeUs - origin : 0);
        e.durationUs = s.lastUs >= s.timeUs ? s.lastUs - s.timeUs : 0;
        e.speed = s.speed;
        e.value = s.value;
        if (s.kind == SerialEventKind::SendFailed) {
            e.written = s.length;
        } else if (!burst && s.length > 0) {
            e.text = recording.text(s);
        }
        last = burst ? e.timeUs + e.durationUs : e.timeUs;
        writeEvent(
            out, e, s.length,
            [&](BurstHex& hex) {
                recording.visitBytes(
                    s, [&hex](const uint8_t* bytes, size_t n) { hex.feed(bytes, n); });
            },
            totals);
    }
    writeEnd(out, totals);
}

void writeTrace(std::ostream& out, const Trace& trace) {
    writeHeader(out, trace.header);
    Totals totals;
    for (const TraceEvent& e : trace.events) {
        const bool burst =
            e.kind == TraceEventKind::HostToBoard || e.kind == TraceEventKind::BoardToHost;
        if (burst && e.bytes.empty()) {
            continue;
        }
        writeEvent(
            out, e, e.bytes.size(),
            [&](BurstHex& hex) { hex.feed(e.bytes.data(), e.bytes.size()); }, totals);
    }
    writeEnd(out, totals);
}

} // namespace qrbtrace
