#include "TraceFiles.h"

#include "StateDirectory.h"

#include "TraceWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
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

size_t pruneTraces(const fs::path& dir, std::chrono::system_clock::time_point now,
                   std::chrono::system_clock::duration maxAge, size_t maxFiles) {
    struct Found {
        fs::file_time_type time;
        fs::path path;
    };
    std::vector<Found> traces;
    std::error_code error;
    for (fs::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        if (it->path().extension() == kTraceExtension && it->is_regular_file(ignored)) {
            const auto time = it->last_write_time(ignored);
            if (!ignored) {
                traces.push_back({time, it->path()});
            }
        }
    }
    // Oldest first; the names, which start with the time, settle ties.
    std::sort(traces.begin(), traces.end(), [](const Found& a, const Found& b) {
        return a.time != b.time ? a.time < b.time : a.path < b.path;
    });
    const auto fileNow =
        fs::file_time_type::clock::now() + std::chrono::duration_cast<fs::file_time_type::duration>(
                                               now - std::chrono::system_clock::now());
    const auto oldest = fileNow - std::chrono::duration_cast<fs::file_time_type::duration>(maxAge);
    size_t removed = 0;
    size_t left = traces.size();
    for (const Found& trace : traces) {
        if (trace.time >= oldest && left <= maxFiles) {
            break;
        }
        std::error_code ignored;
        if (fs::remove(trace.path, ignored)) {
            ++removed;
        }
        --left;
    }
    return removed;
}

SavedTrace saveTrace(const fs::path& dir, const TraceHeader& header,
                     const SerialRecording& recording) {
    SavedTrace saved;
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        saved.error = "cannot create " + dir.string() + ": " + error.message();
        return saved;
    }
    const auto now = std::chrono::system_clock::now();
    fs::path path = dir / traceFileName(now, header.board);
    for (int n = 2; fs::exists(path, error) && n < 1000; ++n) {
        path = dir / (path.stem().string() + "-" + std::to_string(n) + kTraceExtension);
    }
    const fs::path temporary = path.string() + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            saved.error = "cannot write " + temporary.string() + ": " + std::strerror(errno);
            return saved;
        }
        try {
            writeTrace(out, header, recording);
        } catch (const std::exception& e) {
            saved.error = std::string("cannot write the trace: ") + e.what();
        }
        out.flush();
        if (!out && saved.error.empty()) {
            saved.error = "cannot write " + temporary.string() + ": " + std::strerror(errno);
        }
    }
    if (saved.error.empty()) {
        fs::rename(temporary, path, error);
        if (error) {
            saved.error = "cannot write " + path.string() + ": " + error.message();
        }
    }
    if (!saved.error.empty()) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return saved;
    }
    saved.path = path;
    pruneTraces(dir, now);
    return saved;
}

} // namespace qrbtrace
