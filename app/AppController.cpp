#include "AppController.h"

#include "Bootloader.h"
#include "DeviceHolder.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "Log.h"
#include "Serial.h"
#include "StringFormat.h"
#include "UpdateConfiguration.h"
#include "UpdateProgress.h"
#include "UpdateSequence.h"

#include <cxxabi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <exception>
#include <typeinfo>

namespace {

constexpr const char* kSerialDeviceClass = "IOSerialBSDClient";
constexpr const char* kBaseNameKey = "IOTTYBaseName";
constexpr const char* kCalloutDeviceKey = "IOCalloutDevice";

// How often the busy panel samples the update's progress.
constexpr double kProgressInterval = 0.1;
// How long the end of the program waits for a connection worker to stop; it
// sees a stop within a fifth of a second.
constexpr auto kConnectionStopWait = std::chrono::seconds(3);

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

// Hands each step of the update sequence to a function.
class StepReporter : public UpdateObserver {
  public:
    explicit StepReporter(std::function<void(const UpdateStepStart&)> onStep)
        : onStep_(std::move(onStep)) {}
    void stepStarted(const UpdateStepStart& start) override { onStep_(start); }

  private:
    std::function<void(const UpdateStepStart&)> onStep_;
};

std::string typeName(const std::type_info& type) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
    std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
    std::free(demangled);
    return name;
}

// The log line of an exception from outside the family that escaped a
// worker's steps; call inside a catch block.
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

std::shared_ptr<AppController> AppController::create(ApplicationFramework& framework) {
    return std::shared_ptr<AppController>(new AppController(framework));
}

AppController::AppController(ApplicationFramework& framework) : framework_(framework) {}

AppController::~AppController() {
    RAMBootloaderPath.clear();
    imagePath.clear();
    _serialDeviceNotifier.reset();
    _qrbBoxes.clear();
}

void AppController::invalidate() {
    _connectionStopRequested = true;
    if (_serialDeviceNotifier) {
        _serialDeviceNotifier->invalidate();
        _serialDeviceNotifier.reset();
    }
}

// ---------------------------------------------------------------------------
// Start-up and update configuration

void AppController::awakeFromNib() {
    const std::string resources = framework_.resourcePath();
    const std::optional<PropertyListDictionary> configuration =
        framework_.dictionaryWithContentsOfFile(updateConfigurationPath(resources));
    // Both image paths are needed later: without them the configuration is
    // as unusable as a missing one.
    const std::optional<UpdateConfiguration> update =
        configuration ? updateConfigurationFrom(*configuration, resources) : std::nullopt;
    if (!update) {
        framework_.runCriticalAlertPanel("Critical Error",
                                         "Could not open update configuration file.", "Exit");
        framework_.exit(0);
        std::abort(); // exit never returns
    }

    imageVer.data = update->version;

    framework_.setStringValue(
        outlet::WelcomeCaption,
        formatString("Welcome to the QRB Box Firmware Updater!\nYour QRB Box firmware will be "
                     "updated to version %u.%u.%u.",
                     unsigned{imageVer.major()}, unsigned{imageVer.minor()},
                     unsigned{imageVer.rev()}));
    framework_.setStringValue(outlet::WelcomeCaption2,
                              "Please connect your QRB Box if not connected. If the firmware "
                              "update does not begin, try unplugging and then plugging back in "
                              "your QRB Box.");

    imagePath = update->imagePath;
    RAMBootloaderPath = update->ramBootloaderPath;

    framework_.startAnimation(outlet::connectionProgressIndicator);

    framework_.performAfterDelay([self = shared_from_this()] { self->startSerialNotifications(); },
                                 0.0);
}

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
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::Synchronisation, exception);
    }
    return ConnectionOutcome::Failed;
}

void AppController::handleConnectCommand(const std::string& devicePath) {
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

// ---------------------------------------------------------------------------
// Version check and user decision

void AppController::boardReadyHandler() {
    framework_.stopAnimation(outlet::connectionProgressIndicator);

    std::uint32_t word = 0;
    try {
        word = getFirmwareVersionWithin(kAnswerTimeoutSeconds);
    } catch (const FirmwareUpdaterException& exception) {
        // Back to the event loop with the main window up: unplugging and
        // plugging the board in again starts a new connection.
        logException(LogSite::VersionQuery, exception);
        serClose();
        return;
    }

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
    if (word == kCorruptFirmwareVersion) {
        exitAnswer = kExitIsAlternate;
        answer = framework_.runAlertPanel(
            "Program Firmware",
            formatString("QRB board detected with corrupt or missing firmware.  This updater will "
                         "program new firmware v%u.%u.%u into the board.",
                         imageMajor, imageMinor, imageRev),
            "Program Firmware", "Exit", std::nullopt, exitAnswer);
    } else {
        int order = 0;
        if (boardMajor != imageMajor) {
            order = boardMajor < imageMajor ? -1 : 1;
        } else if (boardMinor != imageMinor) {
            order = boardMinor < imageMinor ? -1 : 1;
        } else if (boardRev != imageRev) {
            order = boardRev < imageRev ? -1 : 1;
        }
        if (order < 0) {
            exitAnswer = kExitIsAlternate;
            answer = framework_.runAlertPanel(
                "Update Firmware",
                formatString("QRB Box detected with version %u.%u.%u of firmware.  This updater "
                             "will update the firmware to version %u.%u.%u.",
                             boardMajor, boardMinor, boardRev, imageMajor, imageMinor, imageRev),
                "Update Firmware", "Exit", std::nullopt, exitAnswer);
        } else if (order == 0) {
            exitAnswer = kExitIsDefault;
            answer = framework_.runCriticalAlertPanel(
                "Update Warning",
                formatString("QRB board detected with up-to-date firmware (v%u.%u.%u).  This "
                             "board does not need an update.",
                             boardMajor, boardMinor, boardRev),
                "Exit", "Force Update", std::nullopt, exitAnswer);
        } else {
            exitAnswer = kExitIsDefault;
            answer = framework_.runCriticalAlertPanel(
                "Update Warning",
                formatString("QRB board detected with newer firmware (v%u.%u.%u) than this "
                             "update (v%u.%u.%u).",
                             boardMajor, boardMinor, boardRev, imageMajor, imageMinor, imageRev),
                "Exit", "Force Update", std::nullopt, exitAnswer);
        }
    }

    if (answer == exitAnswer) {
        exitProgram();
    }
    updateFirmware();
}

void AppController::exitProgram() {
    try {
        processCommandWithin(kCommandExit, kAnswerTimeoutSeconds);
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::ExitCommand, exception);
    } catch (...) {
    }
    serClose();
    // The connection worker has handed the port over; let it finish its
    // last steps before the process ends.
    awaitConnectionThreadEnd(kConnectionStopWait);
    framework_.exit(0);
    std::abort(); // exit never returns
}

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
    bool successCode = false;
    try {
        StepReporter steps([this](const UpdateStepStart& start) { showUpdateStep(start); });
        runUpdateSequence({RAMBootloaderPath, imagePath, imageVer.data}, steps, _dataBytesSent);
        successCode = true;
    } catch (const FirmwareUpdaterException& exception) {
        logException(LogSite::UpdateWorker, exception);
    } catch (...) {
        logForeignException("firmware update worker");
    }

    closeImageFile();
    serClose();
    framework_.performOnMainThread(
        [self = shared_from_this(), successCode] {
            self->runFirmwareUpdateCompleteAlertWithSuccessCode(successCode);
        },
        false);
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
    framework_.exit(0);
    std::abort(); // exit never returns
}

// ---------------------------------------------------------------------------
// Board detection and selection

void AppController::startSerialNotifications() {
    _serialDeviceNotifier = IORegistryDeviceNotifier::notifierForDevicesNamed(
        std::nullopt, std::string(kSerialDeviceClass), shared_from_this(),
        multipleDevicesSelector(&AppController::serialMultipleDevicesAdded),
        multipleDevicesSelector(&AppController::serialMultipleDevicesRemoved));
}

void AppController::resendAddedNotifications() {
    if (_serialDeviceNotifier) {
        _serialDeviceNotifier->resendAllAddedNotifications();
    }
}

std::optional<std::string>
AppController::serialNumberForPossibleQRBBoxWithProperties(const PropertyDictionary& properties) {
    const std::string* baseName = stringProperty(properties, kBaseNameKey);
    if (baseName == nullptr) {
        return std::nullopt;
    }
    if (!baseName->starts_with("usbserial-WMX") && !baseName->starts_with("usbserial-QRB")) {
        return std::nullopt;
    }
    return baseName->substr(baseName->rfind('-') + 1);
}

void AppController::serialMultipleDevicesAdded(const DeviceList& devices) {
    updateBoardTable(devices, true);
}

void AppController::serialMultipleDevicesRemoved(const DeviceList& devices) {
    updateBoardTable(devices, false);
}

void AppController::updateBoardTable(const DeviceList& devices, bool attached) {
    bool counted = false;
    for (const DeviceProperties& device : devices) {
        if (!device) {
            continue;
        }
        if (std::optional<std::string> serialNumber =
                serialNumberForPossibleQRBBoxWithProperties(*device)) {
            if (attached) {
                _qrbBoxes[*serialNumber] = device;
            } else {
                _qrbBoxes.erase(*serialNumber);
            }
            counted = true;
        }
    }
    if (counted) {
        handleQRBBoxesChanged();
    }
}

void AppController::handleQRBBoxesChanged() {
    // A connection worker whose board has gone stops and frees the port.
    if (_connectionWorkerRunning && _connectionSerialNumber &&
        !_qrbBoxes.contains(*_connectionSerialNumber)) {
        _connectionStopRequested = true;
        clearConnectionDiagnosis();
    }
    _connectionPending = false;

    if (_qrbBoxes.empty()) {
        _ignoreAddedNotifications = false;
    }
    if (_ignoreAddedNotifications || _updateStarted) {
        return;
    }

    if (_qrbBoxes.size() >= 2) {
        framework_.runCriticalAlertPanel("Multiple QRB Boards Detected",
                                         "Please make sure that only one QRB board is connected "
                                         "to your computer during this firmware update.",
                                         "OK");
        framework_.performAfterDelay(
            [self = shared_from_this()] { self->resendAddedNotifications(); }, 0.0);
        return;
    }

    if (_qrbBoxes.size() == 1) {
        if (_connectionWorkerRunning) {
            // Served as soon as the previous worker has ended.
            _connectionPending = true;
            return;
        }
        const auto& [serialNumber, properties] = *_qrbBoxes.begin();
        const std::string* calloutDevice = stringProperty(*properties, kCalloutDeviceKey);
        if (calloutDevice == nullptr) {
            logLine("QRB board %s has no %s", serialNumber.c_str(), kCalloutDeviceKey);
            return;
        }
        _ignoreAddedNotifications = true;
        _connectionWorkerRunning = true;
        _connectionSerialNumber = serialNumber;
        _connectionStopRequested = false;
        {
            std::lock_guard<std::mutex> lock(_connectionThreadMutex);
            ++_connectionThreadsRunning;
        }
        framework_.detachNewThread([self = shared_from_this(), devicePath = *calloutDevice] {
            self->handleConnectCommand(devicePath);
        });
    }
}
