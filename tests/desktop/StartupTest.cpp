#include "AppTestSupport.h"

#include <gmock/gmock.h>
#include <plist/plist.h>

#include <cstdlib>

namespace app_tests {
namespace {

using ::testing::ElementsAre;
using Style = ApplicationFramework::AlertStyle;

class StartupTest : public AppTest {};

TEST_F(StartupTest, WelcomeWindowNamesTheImageVersionAndDetectionStartsAtALaterPass) {
    writeConfiguration();
    controller->awakeFromNib();

    EXPECT_EQ(controller->imageVersion().data, 197121u);
    EXPECT_EQ(controller->imageVersion().reserved(), 0);
    EXPECT_THAT(platform->captions(),
                ElementsAre(testing::Field(&TestPlatform::Caption::field, "WelcomeCaption"),
                            testing::Field(&TestPlatform::Caption::field, "WelcomeCaption2")));
    EXPECT_EQ(platform->captionsOf("WelcomeCaption").at(0),
              "Welcome to the QRB Box Firmware Updater!\nYour QRB Box firmware will be updated "
              "to version 1.2.3.");
    EXPECT_EQ(platform->captionsOf("WelcomeCaption2").at(0),
              "Please connect your QRB Box if not connected. If the firmware update does not "
              "begin, try unplugging and then plugging back in your QRB Box.");
    EXPECT_THAT(platform->uiEvents(), ElementsAre("startAnimation connectionProgressIndicator"));
    EXPECT_TRUE(controller->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_TRUE(platform->alerts().empty());

    // Device detection is deferred to the running event loop.
    EXPECT_EQ(devices->livePorts(), 0u);
    EXPECT_TRUE(platform->runUntil([this] { return devices->livePorts() == 1; }, 2s));
    EXPECT_TRUE(platform->logLines().empty());
}

TEST_F(StartupTest, VersionValuesKeepTheirLowEightBitsAndMissingOrNonIntegerOnesReadAsZero) {
    struct Case {
        Configuration configuration;
        uint32_t data;
        const char* shown;
    };
    Configuration large;
    large.major = "<integer>300</integer>";
    Configuration noMinor;
    noMinor.minor.reset();
    Configuration text;
    text.major = "<string>2</string>";
    text.revision = "<real>3.0</real>";
    Configuration negative;
    negative.minor = "<integer>-1</integer>";
    const std::vector<Case> cases = {
        {large, 0x0003022C, "44.2.3"},
        {noMinor, 0x00030001, "1.0.3"},
        {text, 0x00000200, "0.2.0"},
        {negative, 0x0003FF01, "1.255.3"},
    };
    for (const Case& c : cases) {
        TestPlatform local(resources.path().string());
        writeConfiguration(c.configuration);
        auto app = AppController::create(local);
        app->awakeFromNib();
        EXPECT_EQ(app->imageVersion().data, c.data) << c.shown;
        EXPECT_EQ(local.captionsOf("WelcomeCaption").at(0),
                  std::string("Welcome to the QRB Box Firmware Updater!\nYour QRB Box firmware "
                              "will be updated to version ") +
                      c.shown + ".");
    }
}

TEST_F(StartupTest, ImagePathsAreJoinedToTheResourceDirectoryWithOneSeparator) {
    Configuration configuration;
    configuration.imagePath = "<string>fw/image.sc</string>";
    configuration.ramBootloaderPath = "<string>/boot.sc</string>";
    writeConfiguration(configuration);
    platform->setResourcePath(resources.path().string() + "/");
    controller->awakeFromNib();
    EXPECT_EQ(controller->imageFilePath(), resources.path().string() + "/fw/image.sc");
    EXPECT_EQ(controller->ramBootloaderFilePath(), resources.path().string() + "/boot.sc");
}

TEST_F(StartupTest, ABinaryConfigurationIsReadLikeAnXmlOne) {
    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "QRB_FW_Image_Version_Major", plist_new_uint(4));
    plist_dict_set_item(root, "QRB_FW_Image_Version_Minor", plist_new_uint(5));
    plist_dict_set_item(root, "QRB_FW_Image_Version_Revision", plist_new_uint(6));
    plist_dict_set_item(root, "QRB_FW_Image_File_Path", plist_new_string("fw.sc"));
    plist_dict_set_item(root, "RAM_Bootloader_Path", plist_new_string("ram.sc"));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    plist_free(root);
    ASSERT_NE(bytes, nullptr);
    resources.writeFile("QRB_Image.plist", std::vector<uint8_t>(bytes, bytes + length));
    std::free(bytes);

    controller->awakeFromNib();
    EXPECT_EQ(controller->imageVersion().data, 0x00060504u);
    EXPECT_EQ(controller->imageFilePath(), resources.path().string() + "/fw.sc");
    EXPECT_EQ(controller->ramBootloaderFilePath(), resources.path().string() + "/ram.sc");
}

TEST_F(StartupTest, AnUnusableConfigurationEndsWithTheCriticalAlertBeforeDetection) {
    Configuration noImage;
    noImage.imagePath.reset();
    Configuration numericBootloader;
    numericBootloader.ramBootloaderPath = "<integer>7</integer>";
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"missing file", std::nullopt},
        {"not a property list", std::string("QRB_FW_Image_Version_Major = 1\n")},
        {"array at the root", std::string("<plist version=\"1.0\"><array><integer>1</integer>"
                                          "</array></plist>")},
        {"truncated", Configuration().xml().substr(0, 120)},
        {"no image path", noImage.xml()},
        {"bootloader path not a string", numericBootloader.xml()},
    };
    for (const auto& [name, content] : cases) {
        SCOPED_TRACE(name);
        testing_support::TempDir dir;
        if (content) {
            dir.writeFile("QRB_Image.plist", *content);
        }
        TestPlatform local(dir.path().string());
        auto app = AppController::create(local);
        EXPECT_EQ(local.runUntilExit(2s, [&] { app->awakeFromNib(); }), 0);
        ASSERT_EQ(local.alerts().size(), 1u);
        const TestPlatform::Alert alert = local.alerts()[0];
        EXPECT_EQ(alert.style, Style::Critical);
        EXPECT_EQ(alert.title, "Critical Error");
        EXPECT_EQ(alert.message, "Could not open update configuration file.");
        EXPECT_EQ(alert.defaultButton, "Exit");
        EXPECT_FALSE(alert.alternateButton || alert.otherButton);
        EXPECT_TRUE(local.captions().empty());
        EXPECT_TRUE(local.uiEvents().empty());
        EXPECT_EQ(devices->livePorts(), 0u);
    }
}

} // namespace
} // namespace app_tests
