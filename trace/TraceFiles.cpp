#include "TraceFiles.h"

#include "PrivateFiles.h"
#include "StateDirectory.h"
#include "TraceWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <streambuf>
#include <system_error>
#include <vector>

namespace qrbtrace {

namespace fs = std::filesystem;

std::optional<fs::path> defaultTraceDirectory() {
    const std::optional<fs::path> state = stateDirectory();
    if (!state) {
        return std::nullopt;
    }
    return *state / "traces";
}

std::string traceFileName(std::chrono::system_clock::time_point time, const std::string& serial) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm utc{};
    ::gmtime_r(&seconds, &utc);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02dT%02d%02d%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
    std::string name = serial.empty() ? std::string("unknown") : serial;
    for (char& c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!plain) {
            c = '_';
        }
    }
    return std::string(stamp) + "-" + name + kTraceExtension;
}

std::optional<uint64_t> parseTraceLimit(std::string_view text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data()) {
        return std::nullopt;
    }
    std::string unit(end, text.data() + text.size());
    unsigned shift = 0;
    if (unit == "K" || unit == "KiB") {
        shift = 10;
    } else if (unit == "M" || unit == "MiB") {
        shift = 20;
    } else if (unit == "G" || unit == "GiB") {
        shift = 30;
    } else if (!unit.empty()) {
        return std::nullopt;
    }
    if (value == 0 || value > (UINT64_MAX >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

uint64_t traceSizeLimit() {
    const char* text = std::getenv("QRB_TRACE_LIMIT");
    if (text == nullptr || *text == '\0') {
        return kTraceMaxBytes;
    }
    return parseTraceLimit(text).value_or(kTraceMaxBytes);
}

std::optional<std::string> traceLimitProblem() {
    const char* text = std::getenv("QRB_TRACE_LIMIT");
    if (text == nullptr || *text == '\0' || parseTraceLimit(text)) {
        return std::nullopt;
    }
    return "QRB_TRACE_LIMIT=" + std::string(text) +
           " is not a size (bytes, or a number with K, M or G); traces are kept within 1 GiB";
}

std::optional<bool> traceRecordsFailure(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    // The failure line is the header's seventh; it comes before "exchange".
    for (int n = 0; n < 8 && std::getline(in, line); ++n) {
        if (n == 0 && !line.starts_with("qrb-trace ")) {
            return std::nullopt;
        }
        if (line.starts_with("failure ")) {
            return line != "failure none";
        }
    }
    return std::nullopt;
}

namespace {

// A temporary file of saveTrace: ".<name>.XXXXXX.part".
bool isTemporary(const fs::path& path) {
    const std::string name = path.filename().string();
    return name.starts_with(".") && name.ends_with(".part");
}

// A writer is done with its temporary file within seconds; one this old was
// left by a writer that was killed.
constexpr std::chrono::hours kTemporaryLeftOver{1};

} // namespace

size_t pruneTraces(const fs::path& dir, std::chrono::system_clock::time_point now,
                   std::chrono::system_clock::duration maxAge, size_t maxFiles, uint64_t maxBytes,
                   const std::optional<fs::path>& keep) {
    struct Found {
        fs::file_time_type time;
        fs::path path;
        uint64_t size = 0;
        bool failed = false;
    };
    const auto fileNow =
        fs::file_time_type::clock::now() + std::chrono::duration_cast<fs::file_time_type::duration>(
                                               now - std::chrono::system_clock::now());
    const auto oldest = fileNow - std::chrono::duration_cast<fs::file_time_type::duration>(maxAge);
    std::vector<Found> traces;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (!it->is_regular_file(ignored)) {
            continue;
        }
        const auto time = it->last_write_time(ignored);
        if (ignored) {
            continue;
        }
        if (isTemporary(it->path())) {
            if (time < fileNow - kTemporaryLeftOver) {
                fs::remove(it->path(), ignored);
            }
        } else if (it->path().extension() == kTraceExtension) {
            const uint64_t size = it->file_size(ignored);
            traces.push_back({time, it->path(), ignored ? 0 : size,
                              traceRecordsFailure(it->path()).value_or(false)});
        }
    }
    // Oldest first; the names, which start with the time, settle ties.
    std::sort(traces.begin(), traces.end(), [](const Found& a, const Found& b) {
        return a.time != b.time ? a.time < b.time : a.path < b.path;
    });
    size_t left = traces.size();
    uint64_t bytes = 0;
    size_t successfulLeft = 0;
    for (const Found& trace : traces) {
        bytes += trace.size;
        successfulLeft += trace.failed ? 0 : 1;
    }
    size_t removed = 0;
    // The successful attempts' traces first, then, once none is left, the
    // failed ones.
    for (const bool failed : {false, true}) {
        if (failed && successfulLeft > 0) {
            break;
        }
        for (const Found& trace : traces) {
            if (trace.failed != failed || (keep && trace.path == *keep)) {
                continue;
            }
            if (trace.time >= oldest && left <= maxFiles && bytes <= maxBytes) {
                continue; // within every limit
            }
            std::error_code ignored;
            if (fs::remove(trace.path, ignored)) {
                ++removed;
            }
            // Counted as gone either way: a file that cannot be removed
            // never costs another.
            --left;
            bytes -= trace.size;
            successfulLeft -= failed ? 0 : 1;
        }
    }
    return removed;
}

namespace {

// An output stream buffer on a file descriptor; remembers the first error.
class DescriptorBuffer : public std::streambuf {
  public:
    explicit DescriptorBuffer(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    DescriptorBuffer(const DescriptorBuffer&) = delete;
    DescriptorBuffer& operator=(const DescriptorBuffer&) = delete;
    int error() const { return error_; }

  protected:
    int_type overflow(int_type c) override {
        if (!drain()) {
            return traits_type::eof();
        }
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain() ? 0 : -1; }

  private:
    bool drain() {
        const char* at = pbase();
        while (error_ == 0 && at < pptr()) {
            const ssize_t n = ::write(fd_, at, static_cast<size_t>(pptr() - at));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                error_ = n < 0 ? errno : EIO;
                break;
            }
            at += n;
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return error_ == 0;
    }

    int fd_;
    int error_ = 0;
    char buffer_[1 << 16];
};

// Gives the temporary file a name in dir without replacing any file: name,
// else name with "-2", "-3", ... before the extension. The path given, or
// none (errno set).
std::optional<fs::path> claimName(const fs::path& temporary, const fs::path& dir,
                                  const std::string& name) {
    const fs::path first = dir / name;
    for (int n = 1; n < 1000; ++n) {
        const fs::path path =
            n == 1 ? first
                   : dir / (first.stem().string() + "-" + std::to_string(n) + kTraceExtension);
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) ==
            0) {
            return path;
        }
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            // A file system that cannot rename without replacing: a hard
            // link takes the name just as exclusively.
            if (::link(temporary.c_str(), path.c_str()) == 0) {
                ::unlink(temporary.c_str());
                return path;
            }
        }
        if (errno != EEXIST) {
            return std::nullopt;
        }
    }
    errno = EEXIST;
    return std::nullopt;
}

} // namespace

SavedTrace saveTrace(const fs::path& dir, const TraceHeader& header,
                     const SerialRecording& recording, std::chrono::system_clock::time_point now) {
    SavedTrace saved;
    if (std::string problem = makePrivateDirectories(dir); !problem.empty()) {
        saved.error = problem;
        return saved;
    }
    const std::string name = traceFileName(now, header.board);
    // Its own temporary file, whoever else writes a trace of the same name.
    std::string pattern = (dir / ("." + name + ".XXXXXX.part")).string();
    const int fd = ::mkostemps(pattern.data(), 5, O_CLOEXEC);
    if (fd < 0) {
        saved.error = "cannot write " + (dir / name).string() + ": " + std::strerror(errno);
        return saved;
    }
    const fs::path temporary = pattern;
    {
        DescriptorBuffer buffer(fd);
        std::ostream out(&buffer);
        try {
            writeTrace(out, header, recording);
        } catch (const std::exception& e) {
            saved.error = std::string("cannot write the trace: ") + e.what();
        }
        out.flush();
        if (saved.error.empty() && buffer.error() != 0) {
            saved.error =
                "cannot write " + temporary.string() + ": " + std::strerror(buffer.error());
        }
    }
    if (saved.error.empty() && !syncFile(fd, temporary.string())) {
        saved.error = "cannot sync " + temporary.string() + ": " + std::strerror(errno);
    }
    if (::close(fd) != 0 && saved.error.empty()) {
        saved.error = "cannot write " + temporary.string() + ": " + std::strerror(errno);
    }
    std::optional<fs::path> path;
    if (saved.error.empty()) {
        path = claimName(temporary, dir, name);
        if (!path) {
            saved.error = "cannot name " + (dir / name).string() + ": " + std::strerror(errno);
        }
    }
    if (path && !syncDirectory(dir)) {
        saved.error = "cannot sync " + dir.string() + ": " + std::strerror(errno);
        ::unlink(path->c_str());
    }
    if (!saved.error.empty()) {
        ::unlink(temporary.c_str());
        return saved;
    }
    saved.path = path;
    std::optional<fs::path> keep;
    if (header.failure) {
        keep = path;
    }
    pruneTraces(dir, now, kTraceMaxAge, kTraceMaxFiles, traceSizeLimit(), keep);
    return saved;
}

} // namespace qrbtrace
