#include "AppController.h"

#include "AppControllerInternal.h"
#include "Log.h"
#include "StringFormat.h"
#include "UpdateConfiguration.h"

#include <cstdlib>
#include <exception>

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
