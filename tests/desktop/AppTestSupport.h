#pragma once

#include "AppController.h"
#include "Bootloader.h"
#include "ImageFile.h"
#include "MemoryDeviceSource.h"
#include "Serial.h"
#include "TempDir.h"
#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace app_tests {

using namespace std::chrono_literals;
using testing_support::TestPlatform;

inline const std::string kEllipsis = "\u2026";

// The eight step captions of an update, in order.
inline const std::vector<std::string> kUpdateCaptions = {
    "Opening bootloader file" + kEllipsis,  "Downloading the bootloader" + kEllipsis,
    "Verifying the bootloader" + kEllipsis, "Opening firmware image" + kEllipsis,
    "Unsealing the flash" + kEllipsis,      "Programming the flash" + kEllipsis,
    "Verifying the flash" + kEllipsis,      "Sealing the flash" + kEllipsis,
};

// The properties of an RS-232 serial device as the registry reports them.
inline PropertyDictionary serialDevice(const std::string& baseName, const std::string& callout) {
    return {{"IOProviderClass", std::string("IOSerialBSDClient")},
            {"IOSerialBSDClientType", std::string("IORS232SerialStream")},
            {"IOTTYBaseName", baseName},
            {"IOCalloutDevice", callout}};
}

// A property list with the five configuration keys; a key whose value is
// empty is left out.
struct Configuration {
    std::optional<std::string> major = "<integer>1</integer>";
    std::optional<std::string> minor = "<integer>2</integer>";
    std::optional<std::string> revision = "<integer>3</integer>";
    std::optional<std::string> imagePath = "<string>QRB_Firmware.sc</string>";
    std::optional<std::string> ramBootloaderPath = "<string>QRB_RAM_Bootloader.sc</string>";

    std::string xml() const {
        std::string body;
        auto entry = [&body](const char* key, const std::optional<std::string>& value) {
            if (value) {
                body += std::string("<key>") + key + "</key>" + *value + "\n";
            }
        };
        entry("QRB_FW_Image_Version_Major", major);
        entry("QRB_FW_Image_Version_Minor", minor);
        entry("QRB_FW_Image_Version_Revision", revision);
        entry("QRB_FW_Image_File_Path", imagePath);
        entry("RAM_Bootloader_Path", ramBootloaderPath);
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
               "<plist version=\"1.0\">\n<dict>\n" +
               body + "</dict>\n</plist>\n";
    }
};

// The real controller on the test platform, with an in-memory device
// registry and a resource directory of the test's own.
class AppTest : public ::testing::Test {
  protected:
    AppTest() {
        // The serial traces of failed attempts go to a state directory of
        // the test's own.
        ::setenv("XDG_STATE_HOME", stateHome.path().c_str(), 1);
        setDefaultDeviceSource(devices);
        platform = std::make_unique<TestPlatform>(resources.path().string());
        controller = AppController::create(*platform);
        platform->setShouldTerminateAfterLastWindowClosed(
            [this] { return controller->applicationShouldTerminateAfterLastWindowClosed(); });
    }

    ~AppTest() override {
        // As at the end of the process: the notifier lets go of the
        // controller, a connection worker stops, posted calls are dropped,
        // and the boards go (which ends any worker still talking to one).
        controller->invalidate();
        platform->shutdown();
        if (beforeJoin) {
            beforeJoin();
        }
        EXPECT_TRUE(platform->joinWorkers(15s)) << "worker threads did not end";
        controller.reset();
        platform.reset();
        serClose();
        closeImageFile();
        setDefaultDeviceSource(nullptr);
    }

    void writeConfiguration(const Configuration& configuration = Configuration()) {
        resources.writeFile("QRB_Image.plist", configuration.xml());
    }

    MemoryDeviceSource::DeviceId attach(const std::string& baseName, const std::string& callout) {
        return devices->addDevice(serialDevice(baseName, callout));
    }

    // Starts the application: awakeFromNib, then the loop until the device
    // notifier has been created.
    void start() {
        controller->awakeFromNib();
        ASSERT_TRUE(platform->runUntil([this] { return devices->livePorts() == 1; }, 2s));
    }

    testing_support::TempDir resources;
    testing_support::TempDir stateHome;
    std::shared_ptr<MemoryDeviceSource> devices = std::make_shared<MemoryDeviceSource>();
    std::unique_ptr<TestPlatform> platform;
    std::shared_ptr<AppController> controller;
    // Runs at the end before the workers are joined (e.g. to unplug boards).
    std::function<void()> beforeJoin;
};

} // namespace app_tests
