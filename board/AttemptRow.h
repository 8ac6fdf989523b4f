#pragma once

#include "AttemptRecord.h"
#include "BoardSequence.h"
#include "ImageVersion.h"

#include <chrono>
#include <optional>
#include <string>

// The history's word for a version case.
AttemptCase attemptCaseOf(VersionCase versionCase);

// The one builder of an attempt's row of the update history
// (history/AttemptRecord.h), for both fronts.
//
// time: when the updater began with the board (the desktop: its connection
// worker started on the board's tty; the station: the board's process began
// with it). seconds: from then to the attempt's end, less the time the
// attempt waited for a person; the desktop leaves out the time its decision
// alert was open, the station never waits for one.
//
// The row carries the attempt's id, made when the attempt began, the
// station's name and the operator (the process's user).
//
// A front fills the row as the attempt goes on and takes it once, when the
// attempt ends. The desktop writes no row for an attempt that never reached
// the board's bootloader (a failed synchronisation), since it is retried.
class AttemptRow {
  public:
    AttemptRow() = default;
    // An attempt at the board on tty (its physical port and the adapter's
    // serial number) that began at began.
    AttemptRow(AttemptFront front, std::string tty, std::string port, std::string serial,
               std::chrono::system_clock::time_point began);

    // The attempt's id (by default a new one, made with the row, when the
    // attempt began) and the station's name (by default defaultStationName()).
    void identify(std::string id);
    void stationName(std::string station);
    const std::string& id() const { return record_.id; }

    // The board's version was read: its case, and its version ("1.2.2"),
    // none when the board reports corrupt or missing firmware.
    void versionRead(const std::optional<std::string>& version, VersionCase versionCase);
    // The step with this caption began.
    void stepStarted(const std::string& caption);
    // The attempt's serial trace is at path.
    void traceAt(const std::string& path);

    // The row of the attempt that ended with result (with failure, when
    // there was one) after seconds, with the version of the image it offered.
    // The step is kept for a failure only; the image's SHA-256 is the
    // caller's to add.
    AttemptRecord ended(AttemptResult result, const std::optional<BoardFailure>& failure,
                        const std::string& imageVersion, double seconds) const;

  private:
    AttemptRecord record_;
};

// The version text of a decided board: none when it reports corrupt or
// missing firmware.
std::optional<std::string> boardVersionText(const VersionDecision& decision);
