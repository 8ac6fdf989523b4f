#include "AppController.h"

#include "AppControllerInternal.h"
#include "AttemptTrace.h"
#include "Bootloader.h"
#include "DeviceHolder.h"
#include "FirmwareUpdaterException.h"
#include "Log.h"
#include "Serial.h"

#include <cerrno>
#include <cstring>

using app_controller::kConnectionStopWait;
using app_controller::logForeignException;

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
};

OpenRefusal refusalOf(const SerialException& exception) {
    if (exception.name() == "SerialTIOCEXCLError.") {
        return OpenRefusal::InUse;
    }
    if (exception.name() != "SerialOpenError") {
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

std::string inUseDiagnosis(const std::string& devicePath) {
    const std::optional<DeviceHolder> holder = findDeviceHolder(devicePath);
    if (holder && !holder->name.empty()) {
        return devicePath + " is in use by " + holder->name + " (process " +
               std::to_string(holder->pid) + ").";
    }
    return devicePath + " is in use by another program.";
}

// A serial driver that has settings but would not give the port low latency
// is worth one quiet line per open; a device without them (a pty) is not.
void reportLowLatency(const std::string& devicePath) {
    const LowLatencyOutcome outcome = ser_low_latency;
    if (outcome.result == LowLatency::Refused || outcome.result == LowLatency::Unreadable) {
        logDetail("Low latency not set on %s: errno %d %s.", devicePath.c_str(), outcome.error,
                  std::strerror(outcome.error));
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Board connection worker

bool AppController::openPort(const std::string& devicePath, unsigned int baudRate,
                             LogSite logSite) {
    // Beside the retries, the main window says why the open keeps failing
    // when the user can do something about it; each kind of refusal gets one
    // journal line per loop, however often it is retried.
    std::string diagnosis;
    bool permissionLogged = false;
    bool inUseLogged = false;
    int inUseAttempts = 0;

    bool opened = false;
    while (!opened) {
        if (_connectionStopRequested) {
            return false;
        }
        OpenRefusal refusal = OpenRefusal::Other;
        try {
            serInit(devicePath.c_str(), baudRate);
            opened = true;
            reportLowLatency(devicePath);
        } catch (const SerialException& exception) {
            if (exception.name() != "SerialOpenError") {
                logException(logSite, exception);
            }
            refusal = refusalOf(exception);
        } catch (const FirmwareUpdaterException& exception) {
            logException(logSite, exception);
        }

        inUseAttempts = refusal == OpenRefusal::InUse ? inUseAttempts + 1 : 0;
        std::string line;
        bool* logged = nullptr;
        if (refusal == OpenRefusal::Permission) {
            line = permissionDiagnosis(devicePath);
            logged = &permissionLogged;
        } else if (inUseAttempts >= kInUseAttemptsBeforeDiagnosis) {
            line = inUseDiagnosis(devicePath);
            logged = &inUseLogged;
        }
        if (logged != nullptr && !*logged) {
            logLine("%s", line.c_str());
            *logged = true;
        }
        if (line != diagnosis) {
            diagnosis = line;
            postConnectionDiagnosis(line);
        }

        framework_.sleep(kOpenRetryPause);
    }
    return true;
}

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
    if (_connectionDiagnosisShown) {
        framework_.setStringValue(outlet::connectionDiagnosis, std::string());
        _connectionDiagnosisShown = false;
    }
}

AppController::ConnectionOutcome AppController::connectToBoard(const std::string& devicePath) {
    if (!openPort(devicePath, kFirmwareBaudRate, LogSite::OpenAtFirmwareSpeed) ||
        _connectionStopRequested) {
        return ConnectionOutcome::Stopped;
    }
    try {
        resetConnectedQRBBoard();
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::Reset, exception);
    }
    serClose();

    if (!openPort(devicePath, kBootloaderBaudRate, LogSite::OpenAtBootloaderSpeed) ||
        _connectionStopRequested) {
        return ConnectionOutcome::Stopped;
    }
    try {
        return waitForConnection(_connectionStopRequested) ? ConnectionOutcome::InStep
                                                           : ConnectionOutcome::Stopped;
    } catch (const SerialException& exception) {
        if (exception.name() != "SerialCommReceiveError") {
            logException(LogSite::Synchronisation, exception);
        }
        serClose();
        writeFailedAttemptTrace(kConnectingStep, &exception);
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::Synchronisation, exception);
        serClose();
        writeFailedAttemptTrace(kConnectingStep, &exception);
    }
    return ConnectionOutcome::Failed;
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

void AppController::awaitConnectionThreadEnd(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(_connectionThreadMutex);
    if (!_connectionThreadEnded.wait_for(lock, limit,
                                         [this] { return _connectionThreadsRunning == 0; })) {
        logLine("the board connection worker did not stop in time");
    }
}

void AppController::applicationWillTerminate() {
    _connectionStopRequested = true;
    awaitConnectionThreadEnd(kConnectionStopWait);
    serClose();
    _history.awaitWrites(DesktopHistory::kEndWait);
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
