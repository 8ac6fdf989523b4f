#pragma once

#include "AttemptRecord.h"
#include "ImageVersion.h"

#include <optional>
#include <string>

// A board as the station names it in every line about it.
struct BoardIdentity {
    std::string tty;    // the callout device, e.g. /dev/ttyUSB0
    std::string port;   // the physical USB port (udev's ID_PATH), else a path
    std::string serial; // the adapter's USB serial number; empty when unknown

    bool operator==(const BoardIdentity&) const = default;
};

enum class BoardResult { Updated, Current, Skipped, Failed };

// The history's word for a board's result, and the name the station gives
// it ("updated", "current", "skipped", "failed"), which is the same word.
AttemptResult attemptResultOf(BoardResult result);
const char* boardResultName(BoardResult result);

// How one board ended. The child process that ran the board knows it first;
// the parent learns it from the child's result line (or, when the child died,
// makes it up from what it saw).
struct BoardOutcome {
    BoardIdentity identity;
    // The attempt's id in the update history, made when the board's process
    // started.
    std::string attemptId;
    // The firmware version read from the board ("1.2.2"); none when it could
    // not be read, or the board reported corrupt or missing firmware.
    std::optional<std::string> from;
    std::optional<VersionCase> versionCase;
    BoardResult result = BoardResult::Failed;
    // Failures only: the exception's name and reason, as the log line gives
    // them, and the caption of the step that was running (none before the
    // update started).
    std::string error;
    std::string reason;
    std::optional<std::string> step;
    double seconds = 0;
    // The image version ("1.2.3").
    std::string to;
    // The serial trace of the attempt, once written (failures, and every
    // attempt with --trace).
    std::optional<std::string> trace;
};
