#pragma once

#include "BoardSequence.h"

#include <optional>
#include <string>

// The serial trace of one attempt at one board. The serial layer records the
// exchange from beginAttemptTrace on; when the attempt fails (or always, when
// the caller keeps every trace) writeAttemptTrace writes it with a header that
// says what the attempt was, into the traces directory, and logs one line
// with its path.

struct AttemptTraceHeader {
    std::string program; // the front end, e.g. "qrb-updater" or "qrb-flash"
    std::string board;   // the adapter's serial number
    std::string tty;     // the board's device path
    std::string imageVersion;
    std::string imagePath; // the firmware image file, for its SHA-256
    // The SHA-256 of the image's bytes that were offered to the board, when
    // known; otherwise the file at imagePath is hashed.
    std::optional<std::string> imageSha256;
};

struct AttemptTraceFailure {
    std::string name;
    std::string step;
    std::string reason;
};

// Writes the trace of an attempt by program at the board with the adapter
// serial number board on tty, offering the image of imageVersion from
// imagePath (whose bytes as read have imageSha256, when given); failure and
// its step when the attempt failed. The one place where a front's attempt
// becomes a trace's header.
std::optional<std::string>
writeBoardAttemptTrace(const std::string& program, const std::string& board, const std::string& tty,
                       const std::string& imageVersion, const std::string& imagePath,
                       const std::optional<BoardFailure>& failure, const std::string& failedStep,
                       const std::optional<std::string>& imageSha256 = std::nullopt);

// Discards what was recorded before and records the exchange from now on.
void beginAttemptTrace();
// A mark in the recording: the step (caption) that starts now.
void markAttemptStep(const std::string& step);
// The step marked last since beginAttemptTrace (empty: none).
std::string lastAttemptStep();
// Stops recording and writes the attempt's trace into the traces directory
// (traceDirectory, or the default one). Never throws: a trace that cannot be
// written costs one log line. Returns the trace's path, if written.
std::optional<std::string>
writeAttemptTrace(const AttemptTraceHeader& header,
                  const std::optional<AttemptTraceFailure>& failure,
                  const std::optional<std::string>& traceDirectory = std::nullopt);

// The step of an attempt that failed before the update: connecting to the
// board (reset and synchronisation), and reading its version.
inline constexpr const char* kConnectingStep = "Connecting to the board";
inline constexpr const char* kVersionStep = "Reading the firmware version";
