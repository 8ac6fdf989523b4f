#include "BoardSequence.h"

#include "AppControllerInternal.h"
#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "Serial.h"
#include "StringFormat.h"

#include <cstring>

namespace {

BoardFailure failureOf(const FirmwareUpdaterException& exception) {
    return {exception.name(), exception.reason()};
}

void keep(BoardFailure* into, const FirmwareUpdaterException& exception) {
    if (into != nullptr) {
        *into = failureOf(exception);
    }
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

// Opens devicePath at baudRate, retrying until it opens or the stop flag is
// set; false when stopped.
bool openBoardPort(const std::string& devicePath, BaudRate baudRate, LogSite logSite,
                   ConnectionHooks& hooks, BoardFailure* lastFailure) {
    for (;;) {
        if (hooks.stopFlag()) {
            return false;
        }
        bool opened = false;
        try {
            serInit(devicePath.c_str(), baudRate);
            opened = true;
            if (lastFailure != nullptr) {
                *lastFailure = {};
            }
            reportLowLatency(devicePath);
            hooks.openAttempted(devicePath, nullptr);
        } catch (const SerialException& exception) {
            if (exception.name() != "SerialOpenError") {
                logException(logSite, exception);
            }
            keep(lastFailure, exception);
            hooks.openAttempted(devicePath, &exception);
        } catch (const FirmwareUpdaterException& exception) {
            logException(logSite, exception);
            keep(lastFailure, exception);
            hooks.openAttempted(devicePath, &exception);
        }
        hooks.pause(kOpenRetryPause);
        if (opened) {
            return true;
        }
    }
}

// Follows the steps for the update's result.
class StepTracker : public UpdateObserver {
  public:
    explicit StepTracker(UpdateObserver& inner) : inner_(inner) {}
    void stepStarted(const UpdateStepStart& start) override {
        current = start.step;
        inner_.stepStarted(start);
    }
    void stepFinished(UpdateStep step) override { inner_.stepFinished(step); }
    void jumpStarted() override { inner_.jumpStarted(); }
    void ramBootloaderSynchronisationStarted() override {
        inner_.ramBootloaderSynchronisationStarted();
    }

    std::optional<UpdateStep> current;

  private:
    UpdateObserver& inner_;
};

} // namespace

ConnectionOutcome connectBoard(const std::string& devicePath, ConnectionHooks& hooks,
                               BoardFailure* lastFailure) {
    if (!openBoardPort(devicePath, kFirmwareBaudRate, LogSite::OpenAtFirmwareSpeed, hooks,
                       lastFailure) ||
        hooks.stopFlag()) {
        return ConnectionOutcome::Stopped;
    }
    try {
        resetConnectedQRBBoard();
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::Reset, exception);
        keep(lastFailure, exception);
    }
    serClose();

    if (!openBoardPort(devicePath, kBootloaderBaudRate, LogSite::OpenAtBootloaderSpeed, hooks,
                       lastFailure) ||
        hooks.stopFlag()) {
        return ConnectionOutcome::Stopped;
    }
    try {
        return waitForConnection(hooks.stopFlag()) ? ConnectionOutcome::InStep
                                                   : ConnectionOutcome::Stopped;
    } catch (const SerialException& exception) {
        if (exception.name() != "SerialCommReceiveError") {
            logException(LogSite::Synchronisation, exception);
        }
        keep(lastFailure, exception);
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::Synchronisation, exception);
        keep(lastFailure, exception);
    }
    return ConnectionOutcome::Failed;
}

std::optional<std::uint32_t> readBoardVersion(BoardFailure* failure) {
    try {
        return getFirmwareVersionWithin(kAnswerTimeoutSeconds);
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::VersionQuery, exception);
        keep(failure, exception);
        serClose();
        return std::nullopt;
    }
}

VersionDecision decideVersion(std::uint32_t boardWord, ImageVersion image) {
    VersionDecision decision;
    decision.board.data = boardWord;
    decision.versionCase = classifyFirmwareVersion(boardWord, image);
    switch (decision.versionCase) {
    case VersionCase::Corrupt:
    case VersionCase::Older:
        decision.follows = VersionFollows::Update;
        break;
    case VersionCase::Same:
        decision.follows = VersionFollows::LeaveCurrent;
        break;
    case VersionCase::Newer:
        decision.follows = VersionFollows::LeaveNewer;
        break;
    }
    return decision;
}

std::string versionText(ImageVersion version) {
    return formatString("%u.%u.%u", unsigned{version.major()}, unsigned{version.minor()},
                        unsigned{version.rev()});
}

const char* versionCaseName(VersionCase versionCase) {
    switch (versionCase) {
    case VersionCase::Corrupt:
        return "corrupt";
    case VersionCase::Older:
        return "older";
    case VersionCase::Same:
        return "same";
    case VersionCase::Newer:
        return "newer";
    }
    return "";
}

BoardUpdateResult runBoardUpdate(const UpdatePlan& plan, UpdateObserver& observer,
                                 std::atomic<std::uint64_t>& dataBytesSent) {
    BoardUpdateResult result;
    StepTracker steps(observer);
    try {
        runUpdateSequence(plan, steps, dataBytesSent);
        result.success = true;
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::UpdateWorker, exception);
        result.failure = failureOf(exception);
    } catch (...) {
        app_controller::logForeignException("firmware update worker");
        result.failure = BoardFailure{"UnexpectedError", "An unexpected error ended the update."};
    }
    if (!result.success) {
        result.failedStep = steps.current;
    }
    closeImageFile();
    serClose();
    return result;
}

void leaveBoard() {
    try {
        processCommandWithin(kCommandExit, kAnswerTimeoutSeconds);
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::ExitCommand, exception);
    } catch (...) {
    }
    serClose();
}
