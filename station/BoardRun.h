#pragma once

#include "BoardOutcome.h"
#include "UpdateSequence.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>

// What every board of a station run gets: the images and their version, and
// what the options allow.
struct StationPlan {
    UpdatePlan update;
    bool allowReinstall = false; // update a board with the same version
    bool allowOlder = false;     // update a board with a newer version
    // How long the board may take to open and synchronise, in seconds.
    double connectLimit = 20.0;
    // Keep the serial trace of every attempt, not only of failed ones.
    bool keepTraces = false;
    // The update history each board's row goes to; empty: none is recorded.
    std::string historyPath;
    // The SHA-256 of the firmware image file, taken once before any board.
    std::optional<std::string> imageSha256;
    // The station's name in the rows (--station; empty: defaultStationName()).
    std::string station;
};

// The signal by which the parent tells a board's process that its board was
// unplugged: the connection stops at once (a transfer fails by itself on the
// tty's hang-up). noteBoardRemoved is its handler in a board's process
// (forkStationChild installs it).
inline constexpr int kBoardRemovedSignal = SIGUSR1;
void noteBoardRemoved(int signal);
// A board unplugged during its attempt, and a tty that leads to another
// device than the board's after an open.
inline constexpr const char* kBoardRemovedError = "BoardRemovedError";
inline constexpr const char* kBoardRemovedReason = "The board was unplugged during its attempt.";
inline constexpr const char* kDeviceChangedError = "DeviceChangedError";

// Runs one board through the shared per-board sequence, in the calling
// process (a station child: the serial port and the image file are the
// process's own). Each event line (version, progress) goes to emit as it
// happens, progress at most twice a second; the outcome is returned, not
// emitted.
BoardOutcome runBoard(const BoardIdentity& board, const StationPlan& plan,
                      const std::function<void(const std::string&)>& emit);

// The child's end of a board: everything that must happen once a board's
// outcome is known, in the process that ran it, before its result line goes
// to the parent. Writes the attempt's serial trace when it failed (always
// with plan.keepTraces) and names it in outcome.trace, appends the board's row
// to the update history and sends its journal entry.
void boardEnded(BoardOutcome& outcome, const StationPlan& plan);
