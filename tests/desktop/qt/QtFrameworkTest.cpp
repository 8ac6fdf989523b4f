// The Qt framework's own rules: the alerts as a user sees and works them
// (buttons in order, keyboard, icons), windows, ending by the last window, and
// where the program finds its resources. The rules it shares with the
// headless framework are in tests/desktop/contract.

#include "QtApplicationFramework.h"
#include "QtTestSupport.h"
#include "ResourceLocation.h"
#include "TempDir.h"

#include <QAccessible>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace qt_testing;
using Style = ApplicationFramework::AlertStyle;

class QtFrameworkTest : public ::testing::Test {
  protected:
    QtFrameworkTest() {
        framework.setExitHook([this](int status) { exits.push_back(status); });
    }
    ~QtFrameworkTest() override {
        EXPECT_TRUE(framework.waitForWorkers(5s)) << "worker threads still running";
    }

    std::optional<int> run(const std::function<void()>& start) {
        return runWithLimit(framework, start);
    }

    QtApplicationFramework framework{"/opt/qrb/share/qrb-updater"};
    std::vector<int> exits;
};

TEST_F(QtFrameworkTest, AlertsShowTheirButtonsInOrderAndAnswerOneZeroMinusOne) {
    AlertAnswerer user;
    user.thenClick("Go");
    user.thenClick("Back");
    user.thenClick("Other");
    user.thenPressReturn(); // focus is on the default button
    user.thenClick("OK");
    std::vector<int> answers;
    const auto status = run([&] {
        for (int i = 0; i < 4; ++i) {
            answers.push_back(framework.runAlertPanel("Title", "Message", "Go", "Back", "Other",
                                                      ApplicationFramework::kAlternateButton));
        }
        answers.push_back(framework.runCriticalAlertPanel("Only a message", std::nullopt));
        framework.exit(0);
    });

    EXPECT_EQ(status, 0);
    EXPECT_EQ(answers, (std::vector<int>{1, 0, -1, 1, 1}));
    ASSERT_EQ(user.seen().size(), 5u);
    EXPECT_EQ(user.seen()[0].buttons, (std::vector<std::string>{"Go", "Back", "Other"}));
    EXPECT_EQ(user.seen()[0].defaultButton, "Go");
    EXPECT_EQ(user.seen()[4].buttons, (std::vector<std::string>{"OK"}));
    EXPECT_EQ(user.seen()[4].defaultButton, "OK");
}

// Escape and the close button give the result the caller named as the way
// out, whatever the button's place; Return still presses the default button.
TEST_F(QtFrameworkTest, EscapeAndCloseGiveTheWayOutTheCallerNamed) {
    AlertAnswerer user;
    for (int i = 0; i < 2; ++i) {
        user.thenPressEscape();
        user.thenCloseWindow();
    }
    user.thenPressReturn();
    user.thenTabAndSpace();
    user.thenPressEscape();
    user.thenCloseWindow();
    std::vector<int> answers;
    const auto status = run([&] {
        for (const int wayOut : {1, 0}) {
            for (int i = 0; i < 2; ++i) {
                answers.push_back(framework.runCriticalAlertPanel(
                    "Update Warning", "Message.", "Exit", "Force Update", std::nullopt, wayOut));
            }
        }
        for (int i = 0; i < 2; ++i) {
            answers.push_back(framework.runAlertPanel("Update Firmware", "Message.", "Update",
                                                      "Exit", std::nullopt, 0));
        }
        for (int i = 0; i < 2; ++i) {
            answers.push_back(framework.runInformationalAlertPanel("Firmware Update", "Done."));
        }
        framework.exit(0);
    });

    EXPECT_EQ(status, 0);
    // Return presses the default button, Tab and Space the next one.
    EXPECT_EQ(answers, (std::vector<int>{1, 1, 0, 0, 1, 0, 1, 1}));
    ASSERT_EQ(user.seen().size(), 8u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(user.seen()[i].buttons, (std::vector<std::string>{"Exit", "Force Update"}));
        EXPECT_EQ(user.seen()[i].defaultButton, "Exit");
    }
    EXPECT_EQ(user.seen()[4].buttons, (std::vector<std::string>{"Update", "Exit"}));
    EXPECT_EQ(user.seen()[4].defaultButton, "Update");
}

TEST_F(QtFrameworkTest, AlertsShowTitleMessageAndTheIconOfTheirStyle) {
    AlertAnswerer user;
    for (int i = 0; i < 3; ++i) {
        user.thenClick("OK");
    }
    run([&] {
        framework.runAlert(Style::Critical, "Firmware Update Error", "Firmware update failed.",
                           std::nullopt, std::nullopt, std::nullopt, 1);
        framework.runAlert(Style::Informational, "Firmware Update",
                           "<b>not</b> markup &amp; two  spaces", std::nullopt, std::nullopt,
                           std::nullopt, 1);
        framework.runAlert(Style::Plain, "Program Firmware", "Plain.", std::nullopt, std::nullopt,
                           std::nullopt, 1);
        framework.exit(0);
    });

    ASSERT_EQ(user.seen().size(), 3u);
    EXPECT_EQ(user.seen()[0].windowTitle, "Firmware Update Error");
    EXPECT_EQ(user.seen()[0].text, "Firmware Update Error");
    EXPECT_EQ(user.seen()[0].informativeText, "Firmware update failed.");
    EXPECT_EQ(user.seen()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(user.seen()[1].icon, QMessageBox::Information);
    EXPECT_EQ(user.seen()[1].informativeText, "<b>not</b> markup &amp; two  spaces");
    EXPECT_EQ(user.seen()[2].icon, QMessageBox::NoIcon);
    EXPECT_TRUE(user.seen()[2].hasIconPixmap) << "a plain alert shows the application's icon";
}

TEST_F(QtFrameworkTest, ClosingTheLastWindowEndsTheApplicationOnlyWhileTheControllerSaysSo) {
    int asked = 0;
    bool terminate = false;
    framework.setShouldTerminateAfterLastWindowClosed([&] {
        ++asked;
        return terminate;
    });
    const auto status = run([&] {
        framework.makeKeyAndOrderFront(outlet::busyPanel);
        framework.performClose(outlet::mainWindow); // the panel is still up: not asked
        EXPECT_EQ(asked, 0);
        framework.performClose(outlet::busyPanel); // last window; the answer is no
        EXPECT_EQ(asked, 1);
        framework.performClose(outlet::busyPanel); // not shown: nothing
        EXPECT_EQ(asked, 1);
        framework.makeKeyAndOrderFront(outlet::mainWindow);
        framework.performAfterDelay(
            [&] {
                EXPECT_TRUE(exits.empty());
                terminate = true;
                // As the user's click on the close button does.
                framework.outletWidget(outlet::mainWindow)->close();
            },
            0.0);
    });

    EXPECT_EQ(status, 0);
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(asked, 2);
}

TEST_F(QtFrameworkTest, WindowsCarryTheOutletsByName) {
    auto* mainWindow = framework.outletWidget(outlet::mainWindow);
    auto* busyPanel = framework.outletWidget(outlet::busyPanel);
    ASSERT_NE(mainWindow, nullptr);
    ASSERT_NE(busyPanel, nullptr);
    EXPECT_TRUE(mainWindow->isVisible());
    EXPECT_FALSE(busyPanel->isVisible());
    EXPECT_EQ(str(mainWindow->windowTitle()), "QRB Box Firmware Updater");
    EXPECT_EQ(str(busyPanel->windowTitle()), "QRB Box Firmware Updater");

    for (const char* name :
         {outlet::WelcomeCaption, outlet::WelcomeCaption2, outlet::connectionDiagnosis}) {
        auto* label = mainWindow->findChild<QLabel*>(QString::fromLatin1(name));
        ASSERT_NE(label, nullptr) << name;
        EXPECT_TRUE(label->wordWrap());
    }
    // The diagnosis takes room only while it has something to say; the
    // window grows so that no text is cut off, and shrinks back.
    framework.setStringValue(outlet::WelcomeCaption, "Welcome\nline 2");
    framework.setStringValue(outlet::WelcomeCaption2,
                             std::string(3, 'x') + " words that wrap in the window " +
                                 "over two or three lines, as the second caption does.");
    auto* diagnosis =
        mainWindow->findChild<QLabel*>(QString::fromLatin1(outlet::connectionDiagnosis));
    EXPECT_TRUE(diagnosis->isHidden());
    const int height = mainWindow->height();
    framework.setStringValue(outlet::connectionDiagnosis,
                             "Cannot open /dev/ttyUSB0: permission denied. Install the updater's "
                             "udev rule or add your user to the dialout group, then plug the "
                             "board in again.");
    EXPECT_TRUE(diagnosis->isVisible());
    EXPECT_GT(mainWindow->height(), height);
    for (auto* label : mainWindow->findChildren<QLabel*>()) {
        if (label->wordWrap() && label->isVisible()) {
            EXPECT_GE(label->height(), label->heightForWidth(label->width()))
                << str(label->objectName()) << " is cut off";
        }
    }
    framework.setStringValue(outlet::connectionDiagnosis, "");
    EXPECT_TRUE(diagnosis->isHidden());
    EXPECT_EQ(mainWindow->height(), height);
    auto* caption = busyPanel->findChild<QLabel*>(QString::fromLatin1(outlet::progressCaption));
    ASSERT_NE(caption, nullptr);
    framework.setStringValue(outlet::progressCaption, "Sealing the flash\u2026 <b>x</b>\nline 2");
    EXPECT_EQ(str(caption->text()), "Sealing the flash\u2026 <b>x</b>\nline 2");
    EXPECT_EQ(caption->textFormat(), Qt::PlainText);

    auto* connection = mainWindow->findChild<QProgressBar*>(
        QString::fromLatin1(outlet::connectionProgressIndicator));
    ASSERT_NE(connection, nullptr);
    ASSERT_NE(busyPanel->findChild<QProgressBar*>(QString::fromLatin1(outlet::progressIndicator)),
              nullptr);
    framework.startAnimation(outlet::connectionProgressIndicator);
    EXPECT_EQ(connection->maximum(), 0) << "an animating indicator is indeterminate";
    framework.stopAnimation(outlet::connectionProgressIndicator);
    EXPECT_NE(connection->maximum(), 0);

    EXPECT_EQ(framework.resourcePath(), "/opt/qrb/share/qrb-updater");
}

TEST_F(QtFrameworkTest, TheBusyPanelsBarCountsForScreenReadersTooWithItsTextBelow) {
    auto* busyPanel = framework.outletWidget(outlet::busyPanel);
    auto* bar = busyPanel->findChild<QProgressBar*>(QString::fromLatin1(outlet::progressIndicator));
    auto* detail = busyPanel->findChild<QLabel*>(QString::fromLatin1(outlet::progressDetail));
    ASSERT_NE(bar, nullptr);
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(busyPanel->layout()->indexOf(detail), busyPanel->layout()->indexOf(bar) + 1);

    framework.startAnimation(outlet::progressIndicator);
    framework.setProgressValue(outlet::progressIndicator, 12800, 49152);
    framework.setStringValue(outlet::progressDetail, "12.5 KiB of 48.0 KiB");
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), 49152);
    EXPECT_EQ(bar->value(), 12800);
    EXPECT_EQ(str(detail->text()), "12.5 KiB of 48.0 KiB");
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(bar);
    ASSERT_NE(accessible, nullptr);
    ASSERT_NE(accessible->valueInterface(), nullptr);
    EXPECT_EQ(accessible->valueInterface()->currentValue().toInt(), 12800);
    EXPECT_EQ(accessible->valueInterface()->maximumValue().toInt(), 49152);

    // Counts beyond the bar's int keep their proportion.
    framework.setProgressValue(outlet::progressIndicator, 6ULL << 30, 8ULL << 30);
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_EQ(static_cast<int64_t>(bar->value()) * 4, static_cast<int64_t>(bar->maximum()) * 3);

    framework.setIndeterminate(outlet::progressIndicator);
    EXPECT_EQ(bar->maximum(), 0);
}

TEST(ResourceLocationTest, InstalledBesideBinFromTheBuildTreeTheSourceResources) {
    namespace fs = std::filesystem;
    testing_support::TempDir temp;
    const fs::path build = temp.path() / "build" / "desktop" / "qt";
    fs::create_directories(build);
    temp.writeFile("build/desktop/qt/qrb-updater", std::string());
    const fs::path source = temp.path() / "src" / "resources";

    EXPECT_EQ(resourceDirectoryFor("/opt/qrb/bin/qrb-updater", build, source),
              fs::path("/opt/qrb/share/qrb-updater"));
    EXPECT_EQ(resourceDirectoryFor(build / "qrb-updater", build, source), source);
    // A link to the built program (e.g. from a bin/ of one's own) still runs
    // the built program.
    fs::create_directories(temp.path() / "bin");
    fs::create_symlink(build / "qrb-updater", temp.path() / "bin" / "qrb-updater");
    EXPECT_EQ(resourceDirectoryFor(temp.path() / "bin" / "qrb-updater", build, source), source);
}

} // namespace
