#include "AppController.h"

#include "AppControllerInternal.h"
#include "AttemptTrace.h"
#include "BoardSequence.h"
#include "FileDigest.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "Log.h"
#include "Serial.h"
#include "UpdateConfiguration.h"
#include "UpdateProgress.h"
#include "UpdateCaptions.h"
#include "UpdateSequence.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

namespace {

// How often the busy panel samples the update's progress.
constexpr double kProgressInterval = 0.1;

// Hands each step of the update sequence to a function, and keeps the
// digest of the firmware image's bytes as the sequence read them.
class StepReporter : public UpdateObserver {
  public:
    StepReporter(std::function<void(const UpdateStepStart&)> onStep,
                 std::optional<std::string>& firmwareSha256)
        : onStep_(std::move(onStep)), firmwareSha256_(firmwareSha256) {}
    void stepStarted(const UpdateStepStart& start) override { onStep_(start); }
    void imageRead(UpdateStep step, const ImageBytes& bytes) override {
        if (step == UpdateStep::OpeningFirmware) {
            firmwareSha256_ = sha256OfBytes(bytes.data(), bytes.size());
        }
    }

  private:
    std::function<void(const UpdateStepStart&)> onStep_;
    std::optional<std::string>& firmwareSha256_;
};

} // namespace

// ---------------------------------------------------------------------------
// Firmware update worker

void AppController::updateFirmware() {
    _updateStarted = true;
    framework_.makeKeyAndOrderFront(outlet::busyPanel);
    framework_.setUsesThreadedAnimation(outlet::progressIndicator, true);
    framework_.startAnimation(outlet::progressIndicator);
    framework_.displayIfNeeded(outlet::busyPanel);
    _progressTimerRunning = true;
    framework_.performAfterDelay([self = shared_from_this()] { self->progressTick(); },
                                 kProgressInterval);
    framework_.detachNewThread(
        [self = shared_from_this()] { self->handleUpdateFirmwareCommand(); });
}

void AppController::showUpdateStep(const UpdateStepStart& start) {
    _history.stepStarted(updateStepCaption(start.step));
    framework_.performOnMainThread([this, start] { beginUpdateStep(start); }, true);
}

void AppController::beginUpdateStep(const UpdateStepStart& start) {
    if (_progress.active) {
        // The step before has ended: its bar shows how far it came.
        showProgress(start.dataBytesBefore - _progress.base);
    }
    framework_.setStringValue(outlet::progressCaption, updateStepCaption(start.step));
    if (!start.dataTotal) {
        endProgress();
        return;
    }
    _progress.active = true;
    _progress.base = start.dataBytesBefore;
    _progress.total = *start.dataTotal;
    _progress.value.reset();
    _progress.text.clear();
    _timeLeft.start(_progress.total);
    showProgress(0);
}

void AppController::showProgress(std::uint64_t done) {
    done = std::min(done, _progress.total);
    // An image without data is done before it starts.
    const std::uint64_t maximum = _progress.total > 0 ? _progress.total : 1;
    const std::uint64_t value = _progress.total > 0 ? done : 1;
    if (_progress.value != value) {
        _progress.value = value;
        framework_.setProgressValue(outlet::progressIndicator, value, maximum);
    }
    _timeLeft.sample(done);
    std::string text = formatProgressDetail(done, _progress.total, _timeLeft.timeLeft());
    if (text != _progress.text) {
        _progress.text = text;
        framework_.setStringValue(outlet::progressDetail, text);
    }
}

void AppController::progressTick() {
    if (!_progressTimerRunning) {
        return;
    }
    if (_progress.active) {
        showProgress(_dataBytesSent.load(std::memory_order_relaxed) - _progress.base);
    }
    framework_.performAfterDelay([self = shared_from_this()] { self->progressTick(); },
                                 kProgressInterval);
}

void AppController::endProgress() {
    if (!_progress.active) {
        return;
    }
    _progress.active = false;
    framework_.setIndeterminate(outlet::progressIndicator);
    framework_.setStringValue(outlet::progressDetail, "");
}

void AppController::handleUpdateFirmwareCommand() {
    _attemptImageSha256.reset();
    StepReporter steps(
        [this](const UpdateStepStart& start) {
            markAttemptStep(updateStepCaption(start.step));
            showUpdateStep(start);
        },
        _attemptImageSha256);
    const BoardUpdateResult result =
        runBoardUpdate({RAMBootloaderPath, imagePath, imageVer.data}, steps, _dataBytesSent);
    const bool successCode = result.success;
    if (!successCode) {
        // The image file and the port are closed already.
        writeFailedAttemptTrace(result.failedStep ? updateStepCaption(*result.failedStep)
                                                  : lastAttemptStep(),
                                result.failure.value_or(BoardFailure{"UnexpectedError", ""}));
    }
    // Written beside the final alert; the process ends once it is in.
    _history.updateEnded(successCode, result.failure, imageVer, imagePath, _attemptImageSha256);
    framework_.performOnMainThread(
        [self = shared_from_this(), successCode] {
            self->runFirmwareUpdateCompleteAlertWithSuccessCode(successCode);
        },
        false);
}

void AppController::writeFailedAttemptTrace(const std::string& step, const BoardFailure& failure) {
    if (const std::optional<std::string> path = writeBoardAttemptTrace(
            "qrb-updater", _attemptSerialNumber, _attemptDevicePath, versionText(imageVer),
            imagePath, failure, step, _attemptImageSha256)) {
        _history.traceAt(*path);
    }
}

void AppController::runFirmwareUpdateCompleteAlertWithSuccessCode(bool successCode) {
    // No count of a step outlives the update.
    _progressTimerRunning = false;
    endProgress();
    framework_.stopAnimation(outlet::progressIndicator);
    framework_.performClose(outlet::busyPanel);
    if (successCode) {
        framework_.runInformationalAlertPanel("Firmware Update",
                                              "Firmware update completed successfully.");
    } else {
        framework_.runCriticalAlertPanel("Firmware Update Error", "Firmware update failed.");
    }
    _history.awaitWrites();
    framework_.exit(0);
    std::abort(); // exit never returns
}
