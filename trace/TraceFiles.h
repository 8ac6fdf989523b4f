#pragma once

#include "TraceFormat.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

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

// Traces are kept this long, at most this many, and at most this many bytes
// together (QRB_TRACE_LIMIT says otherwise).
inline constexpr std::chrono::hours kTraceMaxAge{24 * 30};
inline constexpr size_t kTraceMaxFiles = 100;
inline constexpr uint64_t kTraceMaxBytes = uint64_t{1} << 30;

// A size: a whole number of bytes, or of KiB, MiB or GiB with the suffix K,
// M or G (KiB, MiB, GiB too); none when text is not one or is zero.
std::optional<uint64_t> parseTraceLimit(std::string_view text);
// The total size traces may take: QRB_TRACE_LIMIT when it is set and a size,
// else kTraceMaxBytes.
uint64_t traceSizeLimit();
// When QRB_TRACE_LIMIT is set but is not a size: what to tell the user.
std::optional<std::string> traceLimitProblem();

// Whether the trace file at path records a failed attempt (its header's
// failure line names one); none when its header cannot be read.
std::optional<bool> traceRecordsFailure(const std::filesystem::path& path);

// Removes traces (*.qrbtrace) in dir: those older than maxAge, then the
// oldest ones while more than maxFiles or more than maxBytes are left. The
// traces of successful attempts (and files whose header cannot be read) go
// first; a failed attempt's trace goes only when no other is left, and keep
// (the trace just written) never. Also removes temporary files that a
// writer killed mid-way left behind. Never throws; returns how many traces it
// removed.
size_t pruneTraces(const std::filesystem::path& dir, std::chrono::system_clock::time_point now,
                   std::chrono::system_clock::duration maxAge = kTraceMaxAge,
                   size_t maxFiles = kTraceMaxFiles, uint64_t maxBytes = kTraceMaxBytes,
                   const std::optional<std::filesystem::path>& keep = std::nullopt);

struct SavedTrace {
    std::optional<std::filesystem::path> path; // the trace written
    std::string error;                         // why none was written
};

// Writes the recording with its header into dir (created, mode 0700, if need
// be) under traceFileName(now, header.board), or with "-2", "-3", ... before
// the extension when that name is taken: the file (mode 0600) is written
// under a temporary name of its own (created with O_EXCL), synced, given its
// name without ever replacing another file, and the directory is synced, so
// that the trace is complete and lasting before anything names it. Then
// prunes dir (traceSizeLimit()). Never throws.
SavedTrace saveTrace(const std::filesystem::path& dir, const TraceHeader& header,
                     const SerialRecording& recording,
                     std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

} // namespace qrbtrace
