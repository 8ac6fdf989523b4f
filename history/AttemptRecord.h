#pragma once

#include <chrono>
#include <optional>
#include <string>

// Which front end made an attempt.
enum class AttemptFront { Desktop, Station };

// How the board's firmware stood against the image, once its version was read.
enum class AttemptCase { Older, Corrupt, Same, Newer };

// How an attempt ended: the board was updated, the update failed, the board
// was left as it was (current: the same version; skipped: a newer one), or
// the user chose Exit at the desktop's decision alert (declined).
enum class AttemptResult { Updated, Failed, Current, Skipped, Declined };

// The words stored for each value ("desktop", "older", "updated", ...).
const char* attemptFrontName(AttemptFront front);
const char* attemptCaseName(AttemptCase versionCase);
const char* attemptResultName(AttemptResult result);

// One attempt at one board: a row of the update history. Empty strings and
// absent values are stored as unknown (NULL).
struct AttemptRecord {
    // The attempt's own id, a random UUID ("0f6c2a9e-…") made when it began;
    // the ledger knows the row by it. Empty: one is made when it is recorded.
    std::string id;
    // When the updater began with the board.
    std::chrono::system_clock::time_point time;
    // Where and by whom: the station's name (empty: defaultStationName()) and
    // the Unix user name of the process (empty: currentOperatorName()).
    std::string station;
    std::string operatorName;
    AttemptFront front = AttemptFront::Desktop;
    std::string tty;    // e.g. /dev/ttyUSB0
    std::string port;   // the physical port: udev's ID_PATH, else the sysfs path
    std::string serial; // the adapter's USB serial number, e.g. QRB00042
    std::optional<std::string> versionRead; // "1.2.2"; absent when not read
    std::optional<AttemptCase> versionCase;
    std::string imageVersion;               // the version of the image, "1.2.3"
    std::optional<std::string> imageSha256; // of the firmware image file, lower-case hex
    AttemptResult result = AttemptResult::Failed;
    std::optional<std::string> error;  // the failure's name, e.g. "SealingError"
    std::optional<std::string> reason; // its reason
    std::optional<std::string> step;   // the caption of the step it failed in
    std::optional<double> seconds;     // how long the attempt took
    std::optional<std::string> trace;  // the path of the attempt's serial trace
};

// The record's time as stored: ISO 8601 in UTC to the second,
// "2026-12-08T12:41:35Z".
std::string formatHistoryTime(std::chrono::system_clock::time_point time);

// A new random attempt id: a version 4 UUID in lower case.
std::string newAttemptId();

// The name of this machine in the records: $QRB_STATION when set and not
// empty, else the host name.
std::string defaultStationName();

// The user name of the process (its uid in digits when it has no name).
std::string currentOperatorName();
