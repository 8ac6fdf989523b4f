// The update configuration: any bytes as "QRB_Image.plist", read by the
// application controller's start-up step.

#include "AppController.h"
#include "FuzzEntries.h"
#include "PropertyList.h"
#include "StringFormat.h"
#include "UpdateConfiguration.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

// Thrown by the platform's exit, so that the start-up step ends there.
struct ExitCalled {
    int status;
};

// A resource directory of the process's own, removed when the process ends.
const std::string& resourceDirectory() {
    static const std::string directory = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "qrb-fuzz-configuration-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot make a resource directory for the fuzzer");
        }
        return pattern;
    }();
    static const bool removal = [] {
        return std::atexit([] {
                   std::error_code ignored;
                   std::filesystem::remove_all(directory, ignored);
               }) == 0;
    }();
    (void)removal;
    return directory;
}

// Just enough of a platform for the start-up step: it records what the
// controller shows and schedules, and runs nothing.
class StartupPlatform : public ApplicationFramework {
  public:
    explicit StartupPlatform(std::string resources) : resources_(std::move(resources)) {}

    struct Alert {
        AlertStyle style;
        std::optional<std::string> title, message, defaultButton, alternateButton, otherButton;
    };

    std::vector<Alert> alerts;
    std::vector<std::pair<std::string, std::string>> captions;
    int deferredCalls = 0;

    std::string resourcePath() override { return resources_; }
    int runAlert(AlertStyle style, const std::optional<std::string>& title,
                 const std::optional<std::string>& message,
                 const std::optional<std::string>& defaultButton,
                 const std::optional<std::string>& alternateButton,
                 const std::optional<std::string>& otherButton, int) override {
        alerts.push_back({style, title, message, defaultButton, alternateButton, otherButton});
        return 1;
    }
    void setStringValue(const std::string& textField, const std::string& value) override {
        captions.emplace_back(textField, value);
    }
    void startAnimation(const std::string&) override {}
    void stopAnimation(const std::string&) override {}
    void setUsesThreadedAnimation(const std::string&, bool) override {}
    void setProgressValue(const std::string&, std::uint64_t, std::uint64_t) override {}
    void setIndeterminate(const std::string&) override {}
    void performClose(const std::string&) override {}
    void makeKeyAndOrderFront(const std::string&) override {}
    void displayIfNeeded(const std::string&) override {}
    void detachNewThread(std::function<void()>) override {
        throw FuzzFinding("start-up started a thread");
    }
    void performOnMainThread(std::function<void()>, bool) override {
        throw FuzzFinding("start-up posted a call to the main thread");
    }
    void performAfterDelay(std::function<void()>, double) override { ++deferredCalls; }
    void sleep(double) override {}
    [[noreturn]] void exit(int status) override { throw ExitCalled{status}; }

  private:
    std::string resources_;
};

void writeConfiguration(const std::string& path, const uint8_t* data, size_t size) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
    const bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace

void fuzzConfiguration(const uint8_t* data, size_t size) {
    const std::string& resources = resourceDirectory();
    writeConfiguration(updateConfigurationPath(resources), data, size);

    StartupPlatform platform(resources);
    const std::shared_ptr<AppController> controller = AppController::create(platform);
    bool exited = false;
    try {
        controller->awakeFromNib();
    } catch (const ExitCalled& exit) {
        exited = true;
        if (exit.status != 0) {
            throw FuzzFinding("start-up exited with status " + std::to_string(exit.status));
        }
    }

    // What the start-up step must have made of the same bytes: the update
    // configuration as the one reader reads it.
    const std::optional<PropertyListDictionary> configuration =
        parsePropertyListDictionary(std::string(reinterpret_cast<const char*>(data), size));
    const std::optional<UpdateConfiguration> expected =
        configuration ? updateConfigurationFrom(*configuration, resources) : std::nullopt;
    if (expected != readUpdateConfiguration(resources)) {
        throw FuzzFinding("the configuration read from the file differs from the parsed one");
    }

    if (!expected) {
        if (!exited || platform.alerts.size() != 1 || !platform.captions.empty() ||
            platform.deferredCalls != 0) {
            throw FuzzFinding("an unusable configuration did not end in the one alert and exit");
        }
        const StartupPlatform::Alert& alert = platform.alerts.front();
        if (alert.style != ApplicationFramework::AlertStyle::Critical ||
            alert.title != "Critical Error" ||
            alert.message != "Could not open update configuration file." ||
            alert.defaultButton != "Exit" || alert.alternateButton || alert.otherButton) {
            throw FuzzFinding("the configuration alert is not the critical \"Exit\" alert");
        }
        return;
    }
    if (exited || !platform.alerts.empty() || platform.deferredCalls != 1 ||
        platform.captions.size() != 2) {
        throw FuzzFinding("a usable configuration did not start the updater");
    }
    const ImageVersion& version = controller->imageVersion();
    if (version.data != expected->version || version.reserved() != 0) {
        throw FuzzFinding("the image version differs from the configuration");
    }
    if (controller->imageFilePath() != expected->imagePath ||
        controller->ramBootloaderFilePath() != expected->ramBootloaderPath) {
        throw FuzzFinding("the image paths differ from the configuration");
    }
    const std::string welcome =
        formatString("Welcome to the QRB Box Firmware Updater!\nYour QRB Box firmware will be "
                     "updated to version %u.%u.%u.",
                     unsigned{version.major()}, unsigned{version.minor()}, unsigned{version.rev()});
    if (platform.captions[0] != std::pair<std::string, std::string>("WelcomeCaption", welcome)) {
        throw FuzzFinding("the welcome caption does not name the image version");
    }
    for (const std::string* path :
         {&controller->imageFilePath(), &controller->ramBootloaderFilePath()}) {
        if (path->rfind(resources, 0) != 0) {
            throw FuzzFinding("an image path outside the resource directory: " + *path);
        }
    }
}
