#include "AppController.h"

#include "AppControllerInternal.h"
#include "AttemptTrace.h"
#include "BoardSequence.h"
#include "Bootloader.h"
#include "DeviceHolder.h"
#include "FirmwareUpdaterException.h"
#include "Log.h"
#include "Serial.h"

#include <cerrno>
#include <chrono>
#include <cstring>

using app_controller::kConnectionStopWait;

namespace {

// Failed opens in a row, one pause apart, before a device that another
// program holds is named in the main window: about two seconds, so that a
// holder that lets go at once (a probe, a udev helper) goes unmentioned.
constexpr int kInUseAttemptsBeforeDiagnosis = 10;

// Why an open failed, as far as the user can do something about it.
enum class OpenRefusal {
    Other,      // nothing to say (e.g. the device has gone)
    Permission, // the user may not open the device
    InUse,      // another program holds the device
    Unclaimed,  // the device opened but refused exclusive use, not for being busy
};

OpenRefusal refusalOf(const SerialException& exception) {
    switch (exception.kind()) {
    case SerialFailure::ExclusiveUse:
        return exception.errorNumber() == EBUSY ? OpenRefusal::InUse : OpenRefusal::Unclaimed;
    case SerialFailure::Open:
        break;
    default:
        return OpenRefusal::Other;
    }
    switch (exception.errorNumber()) {
    case EACCES:
    case EPERM:
        return OpenRefusal::Permission;
    case EBUSY:
        return OpenRefusal::InUse;
    default:
        return OpenRefusal::Other;
    }
}

std::string permissionDiagnosis(const std::string& devicePath) {
    return "Cannot open " + devicePath +
           ": permission denied. Install the updater's udev rule or add your user to the dialout "
           "group, then plug the board in again.";
}

std::string unclaimedDiagnosis(const std::string& devicePath, int errorNumber) {
    return "Cannot claim " + devicePath + " for exclusive use: " + std::strerror(errorNumber) + ".";
}

// The holder search walks every process's open files: at most once a
// second, however often the open is retried.
constexpr auto kHolderSearchInterval = std::chrono::seconds(1);

// What the main window says of a device that another program holds; the
// holder found last is named until the next search is due.
class InUseDiagnosis {
  public:
    std::string lineFor(const std::string& devicePath) {
        const auto now = std::chrono::steady_clock::now();
        if (!searched_ || now - *searched_ >= kHolderSearchInterval) {
            searched_ = now;
            const std::optional<DeviceHolder> holder = findDeviceHolder(devicePath);
            line_ = holder && !holder->name.empty()
                        ? devicePath + " is in use by " + holder->name + " (process " +
                              std::to_string(holder->pid) + ")."
                        : devicePath + " is in use by another program.";
        }
        return line_;
    }

  private:
    std::optional<std::chrono::steady_clock::time_point> searched_;
    std::string line_;
};

} // namespace

// ---------------------------------------------------------------------------
// Board connection worker

// The desktop's part in the connection: the pauses on the framework, the
// stop flag, and beside the retries a line in the main window that says why
// the open keeps failing when the user can do something about it; each kind
// of refusal gets one journal line per opening, however often it is retried.
class DesktopConnectionHooks : public ConnectionHooks {
  public:
    explicit DesktopConnectionHooks(AppController& controller) : controller_(controller) {}

    const std::atomic<bool>& stopFlag() const override {
        return controller_._connectionStopRequested;
    }
    void pause(double seconds) override { controller_.framework_.sleep(seconds); }
    void openStarting(const std::string& /*devicePath*/, unsigned int /*baudRate*/) override {
        opening_ = Opening();
    }
    void openAttempted(const std::string& devicePath,
                       const FirmwareUpdaterException* failure) override {
        OpenRefusal refusal = OpenRefusal::Other;
        if (const auto* serial = dynamic_cast<const SerialException*>(failure)) {
            refusal = refusalOf(*serial);
            opening_.refusalError = serial->errorNumber();
        }

        opening_.inUseAttempts = refusal == OpenRefusal::InUse ? opening_.inUseAttempts + 1 : 0;
        std::string line;
        bool* logged = nullptr;
        if (refusal == OpenRefusal::Permission) {
            line = permissionDiagnosis(devicePath);
            logged = &opening_.permissionLogged;
        } else if (refusal == OpenRefusal::Unclaimed) {
            line = unclaimedDiagnosis(devicePath, opening_.refusalError);
            logged = &opening_.unclaimedLogged;
        } else if (opening_.inUseAttempts >= kInUseAttemptsBeforeDiagnosis) {
            line = opening_.inUse.lineFor(devicePath);
            logged = &opening_.inUseLogged;
        }
        if (logged != nullptr && !*logged) {
            logLine("%s", line.c_str());
            *logged = true;
        }
        if (line != opening_.diagnosis) {
            opening_.diagnosis = line;
            controller_.postConnectionDiagnosis(line);
        }
    }

  private:
    struct Opening {
        std::string diagnosis;
        bool permissionLogged = false;
        bool inUseLogged = false;
        bool unclaimedLogged = false;
        int inUseAttempts = 0;
        int refusalError = 0;
        InUseDiagnosis inUse;
    };

    AppController& controller_;
    Opening opening_;
};

void AppController::postConnectionDiagnosis(const std::string& line) {
    framework_.performOnMainThread(
        [self = shared_from_this(), line] {
            // A board that has left the table has had its line cleared.
            if (self->_connectionStopRequested) {
                return;
            }
            self->framework_.setStringValue(outlet::connectionDiagnosis, line);
            self->_connectionDiagnosisShown = !line.empty();
        },
        false);
}

void AppController::clearConnectionDiagnosis() {
    _unansweredSerialNumber.reset();
    if (_connectionDiagnosisShown) {
        framework_.setStringValue(outlet::connectionDiagnosis, std::string());
        _connectionDiagnosisShown = false;
    }
}

ConnectionOutcome AppController::connectToBoard(const std::string& devicePath) {
    DesktopConnectionHooks hooks(*this);
    BoardFailure failure;
    const ConnectionOutcome outcome = connectBoard(devicePath, hooks, &failure);
    if (outcome == ConnectionOutcome::Failed) {
        // Closed first, so that the trace ends with the close.
        serClose();
        writeFailedAttemptTrace(kConnectingStep, failure);
    }
    return outcome;
}

void AppController::handleConnectCommand(const std::string& devicePath) {
    // Each connection starts a new attempt at the board.
    beginAttemptTrace();
    markAttemptStep(kConnectingStep);
    ConnectionOutcome outcome = ConnectionOutcome::Failed;
    try {
        outcome = connectToBoard(devicePath);
    } catch (...) {
        logForeignException("board connection worker");
        outcome = ConnectionOutcome::Failed;
    }

    auto self = shared_from_this();
    switch (outcome) {
    case ConnectionOutcome::InStep:
        // The port passes to the main thread with this call; should the board
        // have left the table meanwhile, the main thread closes it instead.
        framework_.performOnMainThread(
            [self] {
                if (self->_connectionStopRequested) {
                    serClose();
                    return;
                }
                self->boardReadyHandler();
            },
            false);
        break;
    case ConnectionOutcome::Failed:
        serClose();
        framework_.performOnMainThread([self] { self->resendAddedNotifications(); }, false);
        break;
    case ConnectionOutcome::Stopped:
        serClose();
        break;
    }
    framework_.performOnMainThread([self] { self->connectionWorkerEnded(); }, false);

    // The last step: from here on this thread touches nothing of the program.
    {
        std::lock_guard<std::mutex> lock(_connectionThreadMutex);
        --_connectionThreadsRunning;
    }
    _connectionThreadEnded.notify_all();
}

bool AppController::awaitConnectionThreadEnd(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(_connectionThreadMutex);
    if (!_connectionThreadEnded.wait_for(lock, limit,
                                         [this] { return _connectionThreadsRunning == 0; })) {
        logLine("the board connection worker did not stop in time");
        return false;
    }
    return true;
}

void AppController::applicationWillTerminate() {
    _connectionStopRequested = true;
    // A worker still running may be in the middle of I/O on the port: the
    // port is left to it (the process ends all the same) rather than closed
    // under it, where its descriptor number could be reused.
    if (awaitConnectionThreadEnd(kConnectionStopWait)) {
        serClose();
    }
    _history.awaitWrites();
}

void AppController::connectionWorkerEnded() {
    _connectionWorkerRunning = false;
    _connectionSerialNumber.reset();
    if (_connectionPending) {
        _connectionPending = false;
        framework_.performAfterDelay([self = shared_from_this()] { self->handleQRBBoxesChanged(); },
                                     0.0);
    }
}
