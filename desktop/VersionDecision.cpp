#include "AppController.h"

#include "AppControllerInternal.h"
#include "AttemptTrace.h"
#include "BoardSequence.h"
#include "Bootloader.h"
#include "ExchangeBounds.h"
#include "FirmwareUpdaterException.h"
#include "Log.h"
#include "Serial.h"
#include "StringFormat.h"

#include <cstdlib>

using app_controller::kConnectionStopWait;

// ---------------------------------------------------------------------------
// Version check and user decision

void AppController::boardReadyHandler() {
    framework_.stopAnimation(outlet::connectionProgressIndicator);

    markAttemptStep(kVersionStep);
    BoardFailure failure;
    const std::optional<std::uint32_t> version = readBoardVersion(&failure);
    if (!version) {
        // Back to the event loop with the main window up: unplugging and
        // plugging the board in again starts a new connection, as the main
        // window now says. The port is closed already.
        writeFailedAttemptTrace(kVersionStep, failure);
        showUnansweredDiagnosis();
        _history.versionQueryFailed(failure, imageVer, imagePath);
        return;
    }
    const std::uint32_t word = *version;

    shouldTerminate = false;
    framework_.sleep(kVersionReadPause);
    framework_.performClose(outlet::mainWindow);

    const unsigned imageMajor = imageVer.major();
    const unsigned imageMinor = imageVer.minor();
    const unsigned imageRev = imageVer.rev();
    ImageVersion board;
    board.data = word;
    const unsigned boardMajor = board.major();
    const unsigned boardMinor = board.minor();
    const unsigned boardRev = board.rev();

    // The result that means "Exit" in each case; Escape and the close button
    // give it as well, so that no gesture but a button starts an update.
    constexpr int kExitIsAlternate = ApplicationFramework::kAlternateButton;
    constexpr int kExitIsDefault = ApplicationFramework::kDefaultButton;
    int answer = 0;
    int exitAnswer = 0;
    const VersionCase versionCase = decideVersion(word, imageVer).versionCase;
    _history.versionRead(word, versionCase);
    switch (versionCase) {
    case VersionCase::Corrupt:
        exitAnswer = kExitIsAlternate;
        answer = framework_.runAlertPanel(
            "Program Firmware",
            formatString("QRB board detected with corrupt or missing firmware.  This updater will "
                         "program new firmware v%u.%u.%u into the board.",
                         imageMajor, imageMinor, imageRev),
            "Program Firmware", "Exit", std::nullopt, exitAnswer);
        break;
    case VersionCase::Older:
        exitAnswer = kExitIsAlternate;
        answer = framework_.runAlertPanel(
            "Update Firmware",
            formatString("QRB Box detected with version %u.%u.%u of firmware.  This updater "
                         "will update the firmware to version %u.%u.%u.",
                         boardMajor, boardMinor, boardRev, imageMajor, imageMinor, imageRev),
            "Update Firmware", "Exit", std::nullopt, exitAnswer);
        break;
    case VersionCase::Same:
        exitAnswer = kExitIsDefault;
        answer = framework_.runCriticalAlertPanel(
            "Update Warning",
            formatString("QRB board detected with up-to-date firmware (v%u.%u.%u).  This "
                         "board does not need an update.",
                         boardMajor, boardMinor, boardRev),
            "Exit", "Force Update", std::nullopt, exitAnswer);
        break;
    case VersionCase::Newer:
        exitAnswer = kExitIsDefault;
        answer = framework_.runCriticalAlertPanel(
            "Update Warning",
            formatString("QRB board detected with newer firmware (v%u.%u.%u) than this "
                         "update (v%u.%u.%u).",
                         boardMajor, boardMinor, boardRev, imageMajor, imageMinor, imageRev),
            "Exit", "Force Update", std::nullopt, exitAnswer);
        break;
    }

    _history.decided();
    if (answer == exitAnswer) {
        _history.declined(imageVer, imagePath);
        exitProgram();
    }
    updateFirmware();
}

void AppController::showUnansweredDiagnosis() {
    const std::string devicePath =
        !_attemptDevicePath.empty() ? _attemptDevicePath : savedDevicePath.value_or("the port");
    const std::string line =
        "The QRB Box on " + devicePath + " did not answer. Unplug it and plug it in again.";
    logLine("%s", line.c_str());
    framework_.setStringValue(outlet::connectionDiagnosis, line);
    _connectionDiagnosisShown = true;
    _unansweredSerialNumber = _connectionSerialNumber;
}

void AppController::exitProgram() {
    leaveBoard();
    // The connection worker has handed the port over; let it finish its
    // last steps before the process ends, and the history its row.
    awaitConnectionThreadEnd(kConnectionStopWait);
    _history.awaitWrites();
    framework_.exit(0);
    std::abort(); // exit never returns
}
