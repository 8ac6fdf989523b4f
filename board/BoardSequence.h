#pragma once

#include "ImageVersion.h"
#include "Log.h"
#include "UpdateSequence.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

// One board's road, the same for the desktop updater and the station: open
// the board's tty with exclusive use, reset the running firmware into the
// resident bootloader, reopen and synchronise; read the firmware version;
// decide; then update the board or leave it with the exit command. Each piece
// logs what it catches at the catch site the desktop has always used, so the
// journal reads the same whichever front ran the board.
//
// The serial port and the image file are process-wide: one board per process
// (the desktop has one board; the station runs each board in a child).

// A failure as the log line gives it: the exception's name and reason.
struct BoardFailure {
    std::string error;
    std::string reason;
};

// The log line of an exception from outside the family that escaped a
// worker's steps; call inside a catch block.
void logForeignException(const char* worker);

// --- Connection ----------------------------------------------------------------------------

class FirmwareUpdaterException;

// What the caller adds to the connection: pauses, whether to stop, and a look
// at every attempt to open the port.
class ConnectionHooks {
  public:
    virtual ~ConnectionHooks() = default;
    // Set when the connection is to end; also watched during synchronisation.
    virtual const std::atomic<bool>& stopFlag() const = 0;
    // The pause after every attempt to open, the successful one included.
    virtual void pause(double seconds) = 0;
    // Before the first attempt of each of the two openings.
    virtual void openStarting(const std::string& /*devicePath*/, unsigned int /*baudRate*/) {}
    // After an attempt to open: failure is the exception it raised (already
    // logged when it had to be), or nullptr when the port opened.
    virtual void openAttempted(const std::string& /*devicePath*/,
                               const FirmwareUpdaterException* /*failure*/) {}
};

enum class ConnectionOutcome {
    InStep,  // the port is open at the resident bootloader's speed, in step
    Failed,  // the synchronisation failed; the port is still open
    Stopped, // the stop flag was set
};

// The connection worker's road: opens devicePath at 115200 baud (retrying,
// kOpenRetryPause apart, until it opens or the stop flag is set), sends the
// reset sequence, closes, reopens at 57600 baud the same way and
// synchronises. Catch sites 3 to 6. lastFailure, when given, receives the last
// exception caught on the way (also those not logged).
ConnectionOutcome connectBoard(const std::string& devicePath, ConnectionHooks& hooks,
                               BoardFailure* lastFailure = nullptr);

// The pause after each attempt to open the port, in seconds.
inline constexpr double kOpenRetryPause = 0.2;

// --- Version and decision ------------------------------------------------------------------

// Reads the board's firmware version word on the open port, the exchange
// bounded as every exchange made outside the update is. A failure is logged
// (catch site 2), closes the port and gives none; failure, when given,
// receives it.
std::optional<std::uint32_t> readBoardVersion(BoardFailure* failure = nullptr);

// What follows the version check unless somebody (the user, an option) says
// otherwise.
enum class VersionFollows {
    Update,       // corrupt or older firmware: update
    LeaveCurrent, // the same version: nothing to do
    LeaveNewer,   // a newer version: leave it, unless an older image is wanted
};

struct VersionDecision {
    VersionCase versionCase = VersionCase::Corrupt;
    VersionFollows follows = VersionFollows::Update;
    ImageVersion board; // the board's word (meaningless when corrupt)
};

// The pure decision on the board's word against the image version.
VersionDecision decideVersion(std::uint32_t boardWord, ImageVersion image);

// "1.2.3" for a version word; "older", "corrupt", "same", "newer" for a case.
std::string versionText(ImageVersion version);
const char* versionCaseName(VersionCase versionCase);

// --- Update or leave -----------------------------------------------------------------------

struct BoardUpdateResult {
    bool success = false;
    std::optional<BoardFailure> failure;
    // The step that was running when the update failed.
    std::optional<UpdateStep> failedStep;
};

// The update worker's loop: runs the eight steps, logs a failure (catch site
// 7, or the line of an exception outside the family), then closes the image
// file and the port in every case.
BoardUpdateResult runBoardUpdate(const UpdatePlan& plan, UpdateObserver& observer,
                                 std::atomic<std::uint64_t>& dataBytesSent);

// Leaves the board in its bootloader's hands: the exit command (its failure
// logged at catch site 1), then the port is closed.
void leaveBoard();
