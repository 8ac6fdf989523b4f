#include "TraceFormat.h"

#include <array>
#include <fstream>
#include <iterator>
#include <limits>
#include <string_view>
#include <utility>

namespace qrbtrace {

namespace {

// No line of a trace written by the updater comes near this.
constexpr size_t kLongestLine = 64 * 1024;

constexpr std::array<std::pair<TraceEventKind, const char*>, 12> kWords{{
    {TraceEventKind::Open, "open"},
    {TraceEventKind::OpenFailed, "open-failed"},
    {TraceEventKind::Close, "close"},
    {TraceEventKind::Speed, "speed"},
    {TraceEventKind::ModemLines, "lines"},
    {TraceEventKind::HostToBoard, ">"},
    {TraceEventKind::BoardToHost, "<"},
    {TraceEventKind::Timeout, "timeout"},
    {TraceEventKind::ReadFailed, "read-error"},
    {TraceEventKind::WriteFailed, "write-error"},
    {TraceEventKind::Step, "step"},
    {TraceEventKind::Overflow, "overflow"},
}};

// The lines of the file, each without its newline; the last line must end
// with one.
class Lines {
  public:
    explicit Lines(std::string text) : text_(std::move(text)) {}

    // The next line, or none at the end of the file.
    std::optional<std::string_view> next() {
        if (at_ >= text_.size()) {
            ++number_;
            return std::nullopt;
        }
        ++number_;
        const size_t end = text_.find('\n', at_);
        if (end == std::string::npos) {
            fail("the line has no end: the file is cut short");
        }
        const std::string_view line(text_.data() + at_, end - at_);
        at_ = end + 1;
        if (line.size() > kLongestLine) {
            fail("the line is too long");
        }
        for (const char c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                fail("the line holds a control character");
            }
        }
        return line;
    }
    std::string_view need(const char* what) {
        const auto line = next();
        if (!line) {
            fail(std::string("the file is cut short: expected ") + what);
        }
        return *line;
    }
    size_t number() const { return number_; }
    [[noreturn]] void fail(const std::string& what) const { throw TraceFormatError(number_, what); }

  private:
    std::string text_;
    size_t at_ = 0;
    size_t number_ = 0;
};

// Splits off the first space-separated word of rest.
std::string_view word(std::string_view& rest) {
    const size_t space = rest.find(' ');
    const std::string_view first = rest.substr(0, space);
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    return first;
}

std::optional<uint64_t> number(std::string_view text, uint64_t max) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool appendHex(std::string_view hex, std::vector<uint8_t>& out) {
    if (hex.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigit(hex[i]);
        const int low = hexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

// "SSSS.UUUUUU", seconds and six digits of microseconds, spaces before.
std::optional<uint64_t> time(std::string_view text) {
    const size_t dot = text.find('.');
    if (dot == std::string_view::npos || text.size() - dot != 7) {
        return std::nullopt;
    }
    const auto seconds =
        number(text.substr(0, dot), std::numeric_limits<uint64_t>::max() / 2000000);
    const auto micro = number(text.substr(dot + 1), 999999);
    if (!seconds || !micro) {
        return std::nullopt;
    }
    return *seconds * 1000000 + *micro;
}

// "key value": the value of the line whose key is key.
std::string headerValue(Lines& lines, const char* key) {
    const std::string_view line =
        lines.need((std::string("the header line \"") + key + "\"").c_str());
    const std::string_view prefix(key);
    if (line.substr(0, prefix.size()) != prefix ||
        (line.size() > prefix.size() && line[prefix.size()] != ' ')) {
        lines.fail(std::string("expected the header line \"") + key + " ...\"");
    }
    return std::string(line.size() > prefix.size() ? line.substr(prefix.size() + 1)
                                                   : std::string_view());
}

bool isSha256(std::string_view text) {
    if (text == "-") {
        return true;
    }
    if (text.size() != 64) {
        return false;
    }
    for (const char c : text) {
        if (hexDigit(c) < 0) {
            return false;
        }
    }
    return true;
}

TraceHeader readHeader(Lines& lines) {
    TraceHeader header;
    const std::string_view magic = lines.need("the first line \"qrb-trace 1\"");
    if (magic.substr(0, 10) != "qrb-trace ") {
        lines.fail("not a QRB trace: the first line is not \"qrb-trace <version>\"");
    }
    const auto version = number(magic.substr(10), 1000);
    if (!version) {
        lines.fail("the format version is not a number");
    }
    if (*version != kTraceFormatVersion) {
        lines.fail("format version " + std::to_string(*version) +
                   " is not known (this reader knows " + std::to_string(kTraceFormatVersion) + ")");
    }
    const std::string programLine = headerValue(lines, "program");
    std::string_view rest = programLine;
    header.program = std::string(word(rest));
    header.programVersion = std::string(rest);
    if (header.program.empty()) {
        lines.fail("the program has no name");
    }
    header.started = headerValue(lines, "started");
    header.board = headerValue(lines, "board");
    header.tty = headerValue(lines, "tty");
    const std::string image = headerValue(lines, "image");
    std::string_view imageRest = image;
    header.imageVersion = std::string(word(imageRest));
    if (header.imageVersion.empty() || word(imageRest) != "sha256" || !isSha256(imageRest)) {
        lines.fail("expected \"image <version> sha256 <64 hex digits or ->\"");
    }
    header.imageSha256 = std::string(imageRest);
    const std::string failure = headerValue(lines, "failure");
    if (failure.empty()) {
        lines.fail("the failure has no name (\"none\" for an attempt that succeeded)");
    }
    if (failure != "none") {
        TraceFailure f;
        f.name = failure;
        f.step = headerValue(lines, "step");
        f.reason = headerValue(lines, "reason");
        header.failure = f;
    }
    if (lines.need("the line \"exchange\"") != "exchange") {
        lines.fail("expected the line \"exchange\"");
    }
    return header;
}

std::optional<TraceEventKind> kindOf(std::string_view text) {
    for (const auto& [kind, w] : kWords) {
        if (text == w) {
            return kind;
        }
    }
    return std::nullopt;
}

} // namespace

TraceFormatError::TraceFormatError(size_t line, const std::string& what)
    : std::runtime_error(line == 0 ? what : "line " + std::to_string(line) + ": " + what),
      line_(line) {}

const char* traceEventWord(TraceEventKind kind) {
    for (const auto& [k, w] : kWords) {
        if (k == kind) {
            return w;
        }
    }
    return "?";
}

Trace readTrace(std::istream& in) {
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Lines lines(std::move(text));
    Trace trace;
    trace.header = readHeader(lines);

    uint64_t lastTime = 0;
    uint64_t sent = 0;
    uint64_t received = 0;
    for (;;) {
        std::string_view line = lines.need("more of the exchange, or its last line \"end ...\"");
        if (line.substr(0, 4) == "end ") {
            std::string_view rest = line.substr(4);
            const auto events = number(word(rest), std::numeric_limits<uint64_t>::max());
            const auto hostBytes = number(word(rest), std::numeric_limits<uint64_t>::max());
            const auto boardBytes = number(rest, std::numeric_limits<uint64_t>::max());
            if (!events || !hostBytes || !boardBytes) {
                lines.fail("expected \"end <events> <bytes sent> <bytes received>\"");
            }
            if (*events != trace.events.size() || *hostBytes != sent || *boardBytes != received) {
                lines.fail("the exchange holds " + std::to_string(trace.events.size()) +
                           " events, " + std::to_string(sent) + " bytes sent and " +
                           std::to_string(received) +
                           " received, not what its last line says: lines are missing");
            }
            if (lines.next()) {
                lines.fail("there is more after the line \"end ...\"");
            }
            return trace;
        }
        // "<time> <word> <fields>", the time right-aligned.
        size_t start = 0;
        while (start < line.size() && line[start] == ' ') {
            ++start;
        }
        std::string_view rest = line.substr(start);
        const auto at = time(word(rest));
        if (!at) {
            lines.fail("expected an event: \"<seconds>.<microseconds> <what> ...\"");
        }
        if (*at < lastTime) {
            lines.fail("the time goes backwards");
        }
        lastTime = *at;
        const std::string_view what = word(rest);
        const auto kind = kindOf(what);
        if (!kind) {
            lines.fail("unknown event \"" + std::string(what.substr(0, 40)) + "\"");
        }
        TraceEvent event;
        const size_t eventLine = lines.number();
        event.kind = *kind;
        event.timeUs = *at;
        const auto field = [&](uint64_t max, const char* name) {
            const auto value = number(word(rest), max);
            if (!value) {
                lines.fail(std::string("expected ") + name + " after \"" + std::string(what) +
                           "\"");
            }
            return *value;
        };
        const auto noMore = [&] {
            if (!rest.empty()) {
                lines.fail("unexpected text after the event \"" + std::string(what) + "\"");
            }
        };
        switch (*kind) {
        case TraceEventKind::Open:
            event.speed = static_cast<uint32_t>(field(UINT32_MAX, "the speed"));
            event.text = std::string(rest);
            break;
        case TraceEventKind::OpenFailed:
            event.value = static_cast<int64_t>(field(INT32_MAX, "the error number"));
            event.text = std::string(rest);
            break;
        case TraceEventKind::Close:
        case TraceEventKind::Overflow:
            noMore();
            break;
        case TraceEventKind::Speed:
            event.speed = static_cast<uint32_t>(field(UINT32_MAX, "the speed"));
            noMore();
            break;
        case TraceEventKind::ModemLines:
            event.value = static_cast<int64_t>(field(INT32_MAX, "the modem lines"));
            noMore();
            break;
        case TraceEventKind::Timeout:
            event.durationUs = field(std::numeric_limits<uint64_t>::max() / 2, "the wait");
            noMore();
            break;
        case TraceEventKind::ReadFailed:
            event.value = static_cast<int64_t>(field(INT32_MAX, "the error number"));
            noMore();
            break;
        case TraceEventKind::WriteFailed: {
            const std::string_view error = word(rest);
            if (error == "-1") {
                event.value = -1;
            } else if (const auto value = number(error, INT32_MAX)) {
                event.value = static_cast<int64_t>(*value);
            } else {
                lines.fail("expected the error number after \"write-error\"");
            }
            event.written = field(std::numeric_limits<uint64_t>::max() / 2, "the bytes written");
            noMore();
            break;
        }
        case TraceEventKind::Step:
            event.text = std::string(rest);
            break;
        case TraceEventKind::HostToBoard:
        case TraceEventKind::BoardToHost: {
            event.speed = static_cast<uint32_t>(field(UINT32_MAX, "the speed"));
            const uint64_t count = field(uint64_t{1} << 40, "the byte count");
            event.durationUs = field(std::numeric_limits<uint64_t>::max() / 2, "the duration");
            if (count == 0) {
                lines.fail("a burst of no bytes");
            }
            if (rest.size() != 2 * std::min<uint64_t>(count, kBytesPerLine) ||
                !appendHex(rest, event.bytes)) {
                lines.fail("expected " + std::to_string(std::min<uint64_t>(count, kBytesPerLine)) +
                           " bytes in lower-case hex");
            }
            while (event.bytes.size() < count) {
                const std::string_view more =
                    lines.need("the rest of a burst's bytes on continuation lines");
                const uint64_t want = std::min<uint64_t>(count - event.bytes.size(), kBytesPerLine);
                if (more.size() != 2 + 2 * want || more.substr(0, 2) != "  " ||
                    !appendHex(more.substr(2), event.bytes)) {
                    lines.fail("expected a continuation line of " + std::to_string(want) +
                               " bytes in lower-case hex after two spaces");
                }
            }
            (*kind == TraceEventKind::HostToBoard ? sent : received) += count;
            if (*at > std::numeric_limits<uint64_t>::max() / 2 - event.durationUs) {
                lines.fail("the burst's duration is out of range");
            }
            lastTime = *at + event.durationUs;
            break;
        }
        }
        trace.events.push_back(std::move(event));
        trace.eventLines.push_back(eventLine);
    }
}

Trace readTraceFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw TraceFormatError(0, "cannot open " + path);
    }
    return readTrace(in);
}

} // namespace qrbtrace
