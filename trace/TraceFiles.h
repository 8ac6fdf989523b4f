#pragma once

#include "TraceFormat.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

class SerialRecording;

// Where traces are kept and how they are named, written and pruned.
namespace qrbtrace {

// traces/ in the state directory (common/StateDirectory.h:
// $XDG_STATE_HOME/qrb-updater or ~/.local/state/qrb-updater); none when
// there is none (no home directory).
std::optional<std::filesystem::path> defaultTraceDirectory();

// "<UTC time>-<serial number>.qrbtrace", e.g.
// "20261208T124135.123Z-QRB00042.qrbtrace". Characters of the serial number
// other than letters, digits, '-' and '_' become '_'; an empty one "unknown".
std::string traceFileName(std::chrono::system_clock::time_point time, const std::string& serial);

// Traces are kept this long, and at most this many.
inline constexpr std::chrono::hours kTraceMaxAge{24 * 30};
inline constexpr size_t kTraceMaxFiles = 100;

// Removes the traces (*.qrbtrace) in dir older than maxAge, then the oldest
// ones beyond maxFiles, oldest first. Never throws; returns how many it removed.
size_t pruneTraces(const std::filesystem::path& dir, std::chrono::system_clock::time_point now,
                   std::chrono::system_clock::duration maxAge = kTraceMaxAge,
                   size_t maxFiles = kTraceMaxFiles);

struct SavedTrace {
    std::optional<std::filesystem::path> path; // the trace written
    std::string error;                         // why none was written
};

// Writes the recording with its header into dir (created if need be) under
// traceFileName(now, header.board), complete or not at all (a temporary file
// renamed), then prunes dir. Never throws.
SavedTrace saveTrace(const std::filesystem::path& dir, const TraceHeader& header,
                     const SerialRecording& recording);

} // namespace qrbtrace
