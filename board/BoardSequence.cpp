#include "BoardSequence.h"

#include "AttemptRow.h"
#include "Bootloader.h"
#include "ExchangeBounds.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "Serial.h"
#include "StringFormat.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

namespace {

std::string typeName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
    std::free(demangled);
    return name;
}

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
    hooks.openStarting(devicePath, baudRate);
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
            if (exception.kind() != SerialFailure::Open) {
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

void logForeignException(const char* worker) {
    try {
        throw;
    } catch (const std::exception& exception) {
        logLine("Unexpected exception in the %s: [%s: %s]", worker,
                typeName(typeid(exception)).c_str(), exception.what());
    } catch (...) {
        logLine("Unexpected exception in the %s: [unknown exception]", worker);
    }
}

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
        if (exception.kind() != SerialFailure::Receive) {
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
        return getFirmwareVersionWithin(exchange_bounds::kMainThreadExchange);
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
    return attemptCaseName(attemptCaseOf(versionCase));
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
        logForeignException("firmware update worker");
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
        processCommandWithin(kCommandExit, exchange_bounds::kMainThreadExchange);
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::ExitCommand, exception);
    } catch (...) {
    }
    serClose();
}
