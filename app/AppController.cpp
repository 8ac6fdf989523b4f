#include "AppController.h"

#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "Log.h"
#include "Serial.h"
#include "StringFormat.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>

namespace {

constexpr const char* kConfigurationFileName = "QRB_Image.plist";
constexpr const char* kVersionMajorKey = "QRB_FW_Image_Version_Major";
constexpr const char* kVersionMinorKey = "QRB_FW_Image_Version_Minor";
constexpr const char* kVersionRevisionKey = "QRB_FW_Image_Version_Revision";
constexpr const char* kImagePathKey = "QRB_FW_Image_File_Path";
constexpr const char* kRamBootloaderPathKey = "RAM_Bootloader_Path";

constexpr const char* kSerialDeviceClass = "IOSerialBSDClient";
constexpr const char* kBaseNameKey = "IOTTYBaseName";
constexpr const char* kCalloutDeviceKey = "IOCalloutDevice";

constexpr double kOpenRetryPause = 0.2;
constexpr double kVersionReadPause = 0.1;
// How long the end of the program waits for a connection worker to stop; it
// sees a stop within a fifth of a second.
constexpr auto kConnectionStopWait = std::chrono::seconds(3);

// dir joined with name by exactly one separator.
std::string appendPathComponent(const std::string& dir, const std::string& name) {
    std::string head = dir;
    while (head.size() > 1 && head.back() == '/') {
        head.pop_back();
    }
    std::string::size_type start = 0;
    while (start < name.size() && name[start] == '/') {
        ++start;
    }
    const std::string tail = name.substr(start);
    if (tail.empty()) {
        return head;
    }
    if (head.empty() || head.back() == '/') {
        return head + tail;
    }
    return head + "/" + tail;
}

// The low eight bits of an integer value; 0 when missing or not an integer.
std::uint8_t versionByte(const PropertyListDictionary& configuration, const char* key) {
    const PropertyListValue* value = configuration.find(key);
    const std::int64_t* number = value != nullptr ? value->integer() : nullptr;
    return number != nullptr ? static_cast<std::uint8_t>(static_cast<std::uint64_t>(*number) & 0xFF)
                             : std::uint8_t{0};
}

const std::string* stringValue(const PropertyListDictionary& configuration, const char* key) {
    const PropertyListValue* value = configuration.find(key);
    return value != nullptr ? value->string() : nullptr;
}

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
        framework_.dictionaryWithContentsOfFile(
            appendPathComponent(resources, kConfigurationFileName));
    // Both image paths are needed later: without them the configuration is
    // as unusable as a missing one.
    const std::string* imageFile =
        configuration ? stringValue(*configuration, kImagePathKey) : nullptr;
    const std::string* ramBootloaderFile =
        configuration ? stringValue(*configuration, kRamBootloaderPathKey) : nullptr;
    if (imageFile == nullptr || ramBootloaderFile == nullptr) {
        framework_.runCriticalAlertPanel("Critical Error",
                                         "Could not open update configuration file.", "Exit");
        framework_.exit(0);
        std::abort(); // exit never returns
    }

    imageVer.setMajor(versionByte(*configuration, kVersionMajorKey));
    imageVer.setMinor(versionByte(*configuration, kVersionMinorKey));
    imageVer.setRev(versionByte(*configuration, kVersionRevisionKey));

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

    imagePath = appendPathComponent(resources, *imageFile);
    RAMBootloaderPath = appendPathComponent(resources, *ramBootloaderFile);

    framework_.startAnimation(outlet::connectionProgressIndicator);

    framework_.performAfterDelay([self = shared_from_this()] { self->startSerialNotifications(); },
                                 0.0);
}

// ---------------------------------------------------------------------------
// Board connection worker

bool AppController::openPort(const std::string& devicePath, unsigned int baudRate, int logSite) {
    bool opened = false;
    while (!opened) {
        if (_connectionStopRequested) {
            return false;
        }
        try {
            serInit(devicePath.c_str(), baudRate);
            opened = true;
        } catch (const SerialException& exception) {
            if (exception.name() != "SerialOpenError") {
                logException(logSite, exception);
            }
        } catch (const FirmwareUpdaterException& exception) {
            logException(logSite, exception);
        }
        framework_.sleep(kOpenRetryPause);
    }
    return true;
}

AppController::ConnectionOutcome AppController::connectToBoard(const std::string& devicePath) {
    if (!openPort(devicePath, kFirmwareBaudRate, 3) || _connectionStopRequested) {
        return ConnectionOutcome::Stopped;
    }
    try {
        resetConnectedQRBBoard();
    } catch (const FirmwareUpdaterException& exception) {
        logException(4, exception);
    }
    serClose();

    if (!openPort(devicePath, kBootloaderBaudRate, 5) || _connectionStopRequested) {
        return ConnectionOutcome::Stopped;
    }
    try {
        return waitForConnection(_connectionStopRequested) ? ConnectionOutcome::InStep
                                                           : ConnectionOutcome::Stopped;
    } catch (const SerialException& exception) {
        if (exception.name() != "SerialCommReceiveError") {
            logException(6, exception);
        }
    } catch (const FirmwareUpdaterException& exception) {
        logException(6, exception);
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
        logException(2, exception);
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
        logException(1, exception);
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
    framework_.detachNewThread(
        [self = shared_from_this()] { self->handleUpdateFirmwareCommand(); });
}

void AppController::showUpdateCaption(const char* caption) {
    const std::string text = caption;
    framework_.performOnMainThread(
        [this, text] { framework_.setStringValue(outlet::progressCaption, text); }, true);
}

void AppController::handleUpdateFirmwareCommand() {
    bool successCode = false;
    try {
        showUpdateCaption("Opening bootloader file\u2026");
        openImageFile(RAMBootloaderPath.c_str());

        showUpdateCaption("Downloading the bootloader\u2026");
        TransferProgram();
        resetImageFile();

        showUpdateCaption("Verifying the bootloader\u2026");
        VerifyProgram();
        jumpToAddress(kRamBootloaderAddress);
        closeImageFile();
        serSetBaudRate(kRamBootloaderBaudRate);
        waitForConnection();

        showUpdateCaption("Opening firmware image\u2026");
        openImageFile(imagePath.c_str());

        showUpdateCaption("Unsealing the flash\u2026");
        processCommand(kCommandUnseal);

        showUpdateCaption("Programming the flash\u2026");
        TransferProgram();
        resetImageFile();

        showUpdateCaption("Verifying the flash\u2026");
        VerifyProgram();

        showUpdateCaption("Sealing the flash\u2026");
        sealFlash(imageVer.data);

        successCode = true;
    } catch (const FirmwareUpdaterException& exception) {
        logException(7, exception);
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
