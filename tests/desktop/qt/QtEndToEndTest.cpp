// The real application in process: the Qt framework with its real windows and
// message boxes (offscreen), the application controller, the udev device
// source on a umockdev testbed with an emulated QRB adapter (FTDI-like, serial
// QRB00042, /dev/ttyUSB0), and the board simulator on that tty. The user is
// played by clicks on the real message boxes. Runs under umockdev-wrapper.

#include "AppController.h"
#include "BoardSimulator.h"
#include "EmulatedAdapter.h"
#include "HistoryCommand.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "JsonSchemaCheck.h"
#include "LogCapture.h"
#include "QtApplicationFramework.h"
#include "QtTestSupport.h"
#include "RecordWalk.h"
#include "Serial.h"
#include "TempDir.h"
#include "UdevDeviceSource.h"

#include <QAccessible>
#include <QLabel>
#include <QTimer>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern char** environ;

namespace {

using namespace qt_testing;
using qrbsim::BoardSimulator;
using qrbsim::SimulatorConfig;

// The program's update configuration (version 1.2.3), naming the two images.
const std::string kConfiguration = std::string(QRB_SOURCE_RESOURCE_DIR) + "/QRB_Image.plist";
const std::string kEllipsis = "\u2026";
const std::vector<std::string> kStepCaptions = {
    "Opening bootloader file" + kEllipsis,  "Downloading the bootloader" + kEllipsis,
    "Verifying the bootloader" + kEllipsis, "Opening firmware image" + kEllipsis,
    "Unsealing the flash" + kEllipsis,      "Programming the flash" + kEllipsis,
    "Verifying the flash" + kEllipsis,      "Sealing the flash" + kEllipsis,
};

std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
    }
    return bytes;
}

// The real framework; every text it is asked to show is read back from its
// label right after it was set.
class ObservedFramework : public QtApplicationFramework {
  public:
    using QtApplicationFramework::QtApplicationFramework;

    void setStringValue(const std::string& textField, const std::string& value) override {
        QtApplicationFramework::setStringValue(textField, value);
        auto* label = qobject_cast<QLabel*>(outletWidget(textField));
        shown_.emplace_back(textField, label != nullptr ? str(label->text()) : "<no label>");
    }
    std::vector<std::string> shownIn(const std::string& textField) const {
        std::vector<std::string> texts;
        for (const auto& [field, text] : shown_) {
            if (field == textField) {
                texts.push_back(text);
            }
        }
        return texts;
    }

  private:
    std::vector<std::pair<std::string, std::string>> shown_;
};

class QtApplicationEndToEnd : public ::testing::Test {
  protected:
    QtApplicationEndToEnd() {
        // The program's configuration with small images of its own: every
        // byte to the board takes a round trip through umockdev.
        std::filesystem::copy_file(kConfiguration, resources.path() / "QRB_Image.plist");
        const auto ramBootloader = pattern(301, 1);
        resources.writeFile("QRB_RAM_Bootloader.sc",
                            SimpleCodeImageBuilder()
                                .addDataRecord(qrbsim::kRamBase, ramBootloader)
                                .addEndRecord()
                                .bytes());
        const auto firmware = pattern(1500, 2);
        const auto tail = pattern(7, 3);
        resources.writeFile("QRB_Firmware.sc", SimpleCodeImageBuilder()
                                                   .addDataRecord(0x0000, firmware)
                                                   .addDataRecord(0x2003, tail)
                                                   .addEndRecord()
                                                   .bytes());

        ::setenv("QRB_HISTORY", historyPath.c_str(), 1);
        adapter.allowExclusiveOpen();
        setDefaultDeviceSource(std::make_shared<UdevDeviceSource>());
        framework = std::make_unique<ObservedFramework>(resources.path().string());
        framework->setExitHook([](int) {}); // the framework keeps the status
        controller = AppController::create(*framework);
        framework->setShouldTerminateAfterLastWindowClosed(
            [this] { return controller->applicationShouldTerminateAfterLastWindowClosed(); });
    }

    ~QtApplicationEndToEnd() override {
        controller->invalidate();
        if (board) {
            board->stop(); // a worker still waiting for the board gets its hang-up
        }
        EXPECT_TRUE(framework->waitForWorkers(10s)) << "worker threads still running";
        controller.reset();
        framework.reset();
        serClose();
        closeImageFile();
        setDefaultDeviceSource(nullptr);
        ::unsetenv("QRB_HISTORY");
    }

    // The update history's rows, read as `qrb-flash history --json` prints them.
    std::vector<nlohmann::json> historyRows() const {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(runHistoryCommand({"--json", "--history", historyPath}, out, err), 0)
            << err.str();
        std::vector<nlohmann::json> rows;
        std::istringstream lines(out.str());
        std::vector<std::string> read;
        for (std::string line; std::getline(lines, line);) {
            rows.push_back(nlohmann::json::parse(line));
            read.push_back(line);
        }
        EXPECT_EQ(testing_support::schemaViolations(read, testing_support::JsonSchema::History),
                  "");
        return rows;
    }

    // Starts a board with config on the adapter's tty and plugs the adapter
    // in. On the main thread, so the arrival is handled only after the node
    // leads to the board.
    void plugInBoard(const SimulatorConfig& config) {
        board = std::make_unique<BoardSimulator>(config);
        board->start();
        plugInLineTo(board->slavePath());
    }
    // Plugs the adapter in with its tty leading to the board on slavePath.
    void plugInLineTo(const std::string& slavePath) {
        adapter.plugIn();
        // umockdev links the node to a pty of its own; the board listens on
        // the simulator's.
        const std::filesystem::path node = testbed.rootDir() + adapter.deviceNode();
        std::filesystem::remove(node);
        std::filesystem::create_symlink(slavePath, node);
    }

    enum class Plug { AtStartUp, AfterStartUp };

    // Runs the application from awakeFromNib until it exits.
    std::optional<int> runApplication(const SimulatorConfig& config, Plug plug) {
        return runWithLimit(
            *framework,
            [&] {
                if (plug == Plug::AtStartUp) {
                    plugInBoard(config);
                }
                controller->awakeFromNib();
                if (plug == Plug::AfterStartUp) {
                    // Queued behind startSerialNotifications.
                    QTimer::singleShot(0, [&] { plugInBoard(config); });
                }
            },
            60s);
    }

    std::string labelText(const char* name) const {
        auto* label = qobject_cast<QLabel*>(framework->outletWidget(name));
        return label != nullptr ? str(label->text()) : "<no label>";
    }
    std::vector<std::string> exceptionLines() const {
        std::vector<std::string> lines = log.lines();
        std::erase_if(lines,
                      [](const std::string& line) { return !line.starts_with("Exception("); });
        return lines;
    }

    // The board's memory holds every data record of the image file.
    void expectBoardHoldsImage(const std::string& path) {
        openImageFile(path.c_str());
        std::size_t records = 0;
        walkImageRecords([&](const ImageRecord& record) {
            if (record.type != 1) {
                return;
            }
            std::vector<uint8_t> data(record.length);
            for (uint8_t& byte : data) {
                byte = static_cast<uint8_t>(ReadUint(1));
            }
            EXPECT_EQ(board->memory(record.address, data.size()), data)
                << "record at 0x" << std::hex << record.address;
            ++records;
        });
        closeImageFile();
        EXPECT_GT(records, 0u);
    }

    testing_support::TempDir resources;
    const std::string historyPath = (resources.path() / "state" / "history.db").string();
    qrbsim::UmockdevTestbed testbed; // before anything uses udev
    qrbsim::EmulatedAdapter adapter{testbed, qrbsim::qrbAdapter()};
    testing_support::LogCapture log;
    std::unique_ptr<BoardSimulator> board;
    std::unique_ptr<ObservedFramework> framework;
    std::shared_ptr<AppController> controller;
};

TEST_F(QtApplicationEndToEnd, UpdatesABoardPluggedInAfterStartUp) {
    AlertAnswerer user;
    user.thenClick("Update Firmware");
    user.thenPressEscape(); // the final alert's way out is its one button
    SimulatorConfig config;
    config.versionWord = 0x00000001; // 1.0.0
    // Behind the converter's chip, with the timer the updater asks its driver for.
    config.adapter = qrbsim::AdapterModel::Ftdi;
    config.latencyTimerFile = adapter.latencyTimerPath();
    // Closing the busy panel while the update runs changes nothing.
    QWidget* busyPanel = framework->outletWidget(outlet::busyPanel);
    When closeBusyPanel([busyPanel] { return busyPanel->isVisible(); },
                        [busyPanel] { busyPanel->close(); });

    EXPECT_EQ(runApplication(config, Plug::AfterStartUp), 0);
    EXPECT_TRUE(closeBusyPanel.fired());

    EXPECT_EQ(labelText(outlet::WelcomeCaption),
              "Welcome to the QRB Box Firmware Updater!\n"
              "Your QRB Box firmware will be updated to version 1.2.3.");
    ASSERT_EQ(user.seen().size(), 2u);
    const AlertSeen& decision = user.seen()[0];
    EXPECT_EQ(decision.text, "Update Firmware");
    EXPECT_EQ(decision.informativeText, "QRB Box detected with version 1.0.0 of firmware.  This "
                                        "updater will update the firmware to version 1.2.3.");
    EXPECT_EQ(decision.buttons, (std::vector<std::string>{"Update Firmware", "Exit"}));
    const AlertSeen& done = user.seen()[1];
    EXPECT_EQ(done.text, "Firmware Update");
    EXPECT_EQ(done.informativeText, "Firmware update completed successfully.");
    EXPECT_EQ(done.icon, QMessageBox::Information);

    EXPECT_EQ(framework->shownIn(outlet::progressCaption), kStepCaptions);
    EXPECT_FALSE(framework->outletWidget(outlet::mainWindow)->isVisible());
    EXPECT_FALSE(framework->outletWidget(outlet::busyPanel)->isVisible());
    EXPECT_TRUE(board->sealed());
    EXPECT_EQ(board->versionWord(), 0x00030201u);
    expectBoardHoldsImage((resources.path() / "QRB_Firmware.sc").string());
    EXPECT_EQ(exceptionLines(), std::vector<std::string>{});
    // Low latency asked for on both opens, and the driver's flags put back on
    // both closes.
    EXPECT_EQ(adapter.serialSettingsRequests(), 4u);
    EXPECT_EQ(adapter.latencyTimer(), 16u);

    // The attempt's row names the board as udev does.
    const auto rows = historyRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["front"], "desktop");
    EXPECT_EQ(rows[0]["tty"], "/dev/ttyUSB0");
    EXPECT_EQ(rows[0]["port"], "pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(rows[0]["serial"], "QRB00042");
    EXPECT_EQ(rows[0]["from"], "1.0.0");
    EXPECT_EQ(rows[0]["case"], "older");
    EXPECT_EQ(rows[0]["result"], "updated");
}

TEST_F(QtApplicationEndToEnd, ADriverThatRefusesLowLatencyCostsOneQuietLinePerOpen) {
    adapter.refuseSerialSettings(EPERM);
    AlertAnswerer user;
    user.thenPressReturn(); // "Exit"
    SimulatorConfig config;
    config.versionWord = 0x00030201; // up to date

    EXPECT_EQ(runApplication(config, Plug::AfterStartUp), 0);

    ASSERT_EQ(user.seen().size(), 1u);
    EXPECT_EQ(user.seen()[0].text, "Update Warning");
    const std::string refused =
        "Low latency not set on /dev/ttyUSB0: errno 1 Operation not permitted.";
    EXPECT_EQ(log.lines(), (std::vector<std::string>{refused, refused}));
}

TEST_F(QtApplicationEndToEnd, ExitOnAnUpToDateBoardSendsShortCommand6AndEndsWithStatus0) {
    AlertAnswerer user;
    user.thenPressReturn(); // "Exit" is this alert's default button
    SimulatorConfig config;
    config.versionWord = 0x00030201; // 1.2.3, as the image

    EXPECT_EQ(runApplication(config, Plug::AfterStartUp), 0);

    ASSERT_EQ(user.seen().size(), 1u);
    EXPECT_EQ(user.seen()[0].text, "Update Warning");
    EXPECT_EQ(user.seen()[0].informativeText, "QRB board detected with up-to-date firmware "
                                              "(v1.2.3).  This board does not need an update.");
    EXPECT_EQ(user.seen()[0].icon, QMessageBox::Warning);
    EXPECT_EQ(user.seen()[0].buttons, (std::vector<std::string>{"Exit", "Force Update"}));
    EXPECT_EQ(user.seen()[0].defaultButton, "Exit");

    // Short command 6 took the board back to its firmware; nothing was programmed.
    EXPECT_TRUE(board->waitForState(qrbsim::BoardState::Firmware, 5s));
    EXPECT_EQ(board->bytesProgrammedFlash(), 0u);
    EXPECT_TRUE(framework->shownIn(outlet::progressCaption).empty());
    EXPECT_FALSE(framework->outletWidget(outlet::mainWindow)->isVisible());
    EXPECT_EQ(exceptionLines(), std::vector<std::string>{});
}

TEST_F(QtApplicationEndToEnd, AFailedSealOnABoardWithoutFirmwareEndsInTheErrorAlert) {
    AlertAnswerer user;
    user.thenClick("Program Firmware");
    user.thenCloseWindow(); // the final alert's way out is its one button
    SimulatorConfig config;
    config.versionWord = qrbsim::kNoFirmware;
    config.faults = {qrbsim::parseFault("answer:0x04=0x15")}; // refuses the seal

    EXPECT_EQ(runApplication(config, Plug::AtStartUp), 0);

    ASSERT_EQ(user.seen().size(), 2u);
    EXPECT_EQ(user.seen()[0].text, "Program Firmware");
    EXPECT_EQ(user.seen()[0].informativeText,
              "QRB board detected with corrupt or missing firmware.  This updater will program "
              "new firmware v1.2.3 into the board.");
    EXPECT_EQ(user.seen()[1].text, "Firmware Update Error");
    EXPECT_EQ(user.seen()[1].informativeText, "Firmware update failed.");
    EXPECT_EQ(user.seen()[1].icon, QMessageBox::Warning);
    EXPECT_EQ(user.seen()[1].buttons, std::vector<std::string>{"OK"});

    EXPECT_EQ(framework->shownIn(outlet::progressCaption), kStepCaptions);
    const std::vector<std::string> exceptions = exceptionLines();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_TRUE(exceptions[0].starts_with("Exception(7): [SealingError: ")) << exceptions[0];
    EXPECT_FALSE(board->sealed());
    const auto rows = historyRows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["result"], "failed");
    EXPECT_EQ(rows[0]["error"], "SealingError");
    EXPECT_EQ(rows[0]["step"], kStepCaptions.back());
}

// A firmware image with one wrong byte in its checksum: refused while it is
// opened, and the board keeps its sealed firmware byte for byte.
TEST_F(QtApplicationEndToEnd, AFirmwareImageWithAWrongChecksumLeavesTheBoardAsItWas) {
    SimpleCodeImageBuilder firmware;
    firmware.addDataRecord(0x0000, pattern(1500, 2));
    firmware.addEndRecord(endRecordValue(firmware.byteSum() + 3) ^ 0x01);
    resources.writeFile("QRB_Firmware.sc", firmware.bytes());
    AlertAnswerer user;
    user.thenClick("Update Firmware");
    user.thenPressReturn();
    SimulatorConfig config;
    config.versionWord = 0x00000001; // 1.0.0
    const std::vector<uint8_t> flashBefore = BoardSimulator(config).flash();

    EXPECT_EQ(runApplication(config, Plug::AfterStartUp), 0);

    ASSERT_EQ(user.seen().size(), 2u);
    EXPECT_EQ(user.seen()[1].text, "Firmware Update Error");
    EXPECT_EQ(framework->shownIn(outlet::progressCaption),
              std::vector<std::string>(kStepCaptions.begin(), kStepCaptions.begin() + 4));
    EXPECT_EQ(exceptionLines(),
              std::vector<std::string>{
                  "Exception(7): [ChecksumError: Checksum error in simple-code input file.]"});
    EXPECT_TRUE(board->sealed());
    EXPECT_EQ(board->versionWord(), 0x00000001u);
    EXPECT_TRUE(board->flash() == flashBefore) << "the flash changed";
}

// A board that falls silent at the seal, still plugged in: the update ends
// within the seal's bound with the error alert, and the process with status 0.
TEST_F(QtApplicationEndToEnd, ABoardSilentAtTheSealEndsInTheErrorAlertWithinItsBound) {
    AlertAnswerer user;
    user.thenClick("Update Firmware");
    user.thenPressReturn();
    SimulatorConfig config;
    config.versionWord = 0x00000001;
    config.faults = {qrbsim::parseFault("silent@seal")};
    std::optional<std::chrono::steady_clock::time_point> silent;
    When watch([&] { return board && board->waitForEvent("fault: silent", 0ms); },
               [&] { silent = std::chrono::steady_clock::now(); });

    EXPECT_EQ(runApplication(config, Plug::AfterStartUp), 0);
    const auto ended = std::chrono::steady_clock::now();

    ASSERT_EQ(user.seen().size(), 2u);
    EXPECT_EQ(user.seen()[1].text, "Firmware Update Error");
    const std::vector<std::string> exceptions = exceptionLines();
    ASSERT_EQ(exceptions.size(), 1u);
    EXPECT_TRUE(exceptions[0].starts_with("Exception(7): [SerialCommTimeoutError: Serial "
                                          "Communication Error: no answer from the QRB board "
                                          "within "))
        << exceptions[0];
    ASSERT_TRUE(silent);
    EXPECT_LT(ended - *silent, 13s) << "a silent board is noticed within 10 s";
    EXPECT_EQ(board->versionWord(), qrbsim::kNoFirmware); // unsealed, as the seal never came
}

// The adapter's node first leads to a file that nobody may open for writing,
// root included (a read-only kernel attribute), as a tty without the udev
// rule would refuse the user; then, while the welcome window explains it, to
// the board. QRB_SCREENSHOT_DIR names a directory for a picture of the window
// with the line.
TEST_F(QtApplicationEndToEnd, ADeviceTheUserMayNotOpenIsExplainedInTheWindowUntilItOpens) {
    // (The kernel follows the link; the testbed hides the real /sys only
    // from the paths the process names.)
    const std::string refusing = "/sys/kernel/uevent_seqnum";
    AlertAnswerer user;
    user.thenClick("Exit");
    SimulatorConfig config;
    config.versionWord = 0x00000001;
    board = std::make_unique<BoardSimulator>(config);
    board->start();
    const std::filesystem::path node = testbed.rootDir() + adapter.deviceNode();
    auto* label = qobject_cast<QLabel*>(framework->outletWidget(outlet::connectionDiagnosis));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->isHidden());

    std::string accessibleName;
    When explained(
        [&] { return label->isVisible(); },
        [&] {
            QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(label);
            accessibleName = reader != nullptr ? str(reader->text(QAccessible::Name)) : "<none>";
            // Laid out and drawn before the picture, then access is granted.
            QTimer::singleShot(300, [&] {
                if (const char* dir = std::getenv("QRB_SCREENSHOT_DIR")) {
                    const QString path = QString::fromLocal8Bit(dir) + "/connection-diagnosis.png";
                    EXPECT_TRUE(
                        framework->outletWidget(outlet::mainWindow)->grab().save(path, "PNG"));
                }
                std::filesystem::remove(node);
                std::filesystem::create_symlink(board->slavePath(), node);
            });
        });
    const std::optional<int> status = runWithLimit(
        *framework,
        [&] {
            controller->awakeFromNib();
            QTimer::singleShot(0, [&] {
                adapter.plugIn();
                std::filesystem::remove(node);
                std::filesystem::create_symlink(refusing, node);
            });
        },
        60s);
    EXPECT_EQ(status, 0);

    const std::string line = "Cannot open " + adapter.deviceNode() +
                             ": permission denied. Install the updater's udev rule or add your "
                             "user to the dialout group, then plug the board in again.";
    EXPECT_EQ(framework->shownIn(outlet::connectionDiagnosis),
              (std::vector<std::string>{line, ""}));
    EXPECT_EQ(accessibleName, line);
    EXPECT_TRUE(label->isHidden()) << "cleared once the open succeeded";
    const std::vector<std::string> logged = log.lines();
    EXPECT_EQ(std::count(logged.begin(), logged.end(), line), 1);
    ASSERT_EQ(user.seen().size(), 1u);
    EXPECT_EQ(user.seen()[0].text, "Update Firmware");
    EXPECT_EQ(exceptionLines(), std::vector<std::string>{});
}

// Escape and the close button of each decision alert act as "Exit": short
// command 6, and nothing programmed.
enum class WayOut { Escape, Close };

class QtDecisionWayOut : public QtApplicationEndToEnd,
                         public ::testing::WithParamInterface<std::tuple<uint32_t, WayOut>> {};

TEST_P(QtDecisionWayOut, LeavesTheBoardAsExitDoes) {
    const auto [word, wayOut] = GetParam();
    AlertAnswerer user;
    if (wayOut == WayOut::Escape) {
        user.thenPressEscape();
    } else {
        user.thenCloseWindow();
    }
    SimulatorConfig config;
    config.versionWord = word;

    EXPECT_EQ(runApplication(config, Plug::AtStartUp), 0);

    ASSERT_EQ(user.seen().size(), 1u);
    const std::vector<std::string>& buttons = user.seen()[0].buttons;
    EXPECT_NE(std::find(buttons.begin(), buttons.end(), "Exit"), buttons.end());
    EXPECT_TRUE(board->waitForEvent(
        word == qrbsim::kNoFirmware ? "exit: no firmware to start" : "firmware started", 5s));
    EXPECT_EQ(board->bytesProgrammedFlash(), 0u);
    for (const std::string& event : board->events()) {
        EXPECT_FALSE(event.starts_with("program") || event.starts_with("short command 0x01"))
            << event;
    }
    EXPECT_EQ(board->versionWord(), word);
    EXPECT_TRUE(framework->shownIn(outlet::progressCaption).empty());
    EXPECT_EQ(exceptionLines(), std::vector<std::string>{});
    EXPECT_EQ(ser_fd, -1);
}

INSTANTIATE_TEST_SUITE_P(FourDecisions, QtDecisionWayOut,
                         ::testing::Combine(::testing::Values(qrbsim::kNoFirmware, 0x00000001u,
                                                              0x00030201u, 0x00000102u),
                                            ::testing::Values(WayOut::Escape, WayOut::Close)));

// Closing the main window while the connection worker waits for a silent
// board ends the process at once with status 0, the port closed and its
// exclusive use given up. The application runs in a child run of this test,
// where exit() really ends the process; the board stays in this run.
TEST_F(QtApplicationEndToEnd, ClosingTheWindowWhileConnectingEndsTheProcessAtOnce) {
    if (const char* line = std::getenv("QRB_TEST_SILENT_LINE")) {
        const std::filesystem::path go = std::getenv("QRB_TEST_GO");
        framework->setExitHook({});
        framework->setWillTerminate([this] { controller->applicationWillTerminate(); });
        QWidget* mainWindow = framework->outletWidget(outlet::mainWindow);
        When close([go] { return std::filesystem::exists(go); },
                   [mainWindow] { mainWindow->close(); });
        runWithLimit(*framework, [&] {
            plugInLineTo(line);
            controller->awakeFromNib();
        });
        ADD_FAILURE() << "the application did not end the process";
        return;
    }
    SimulatorConfig config;
    config.faults = {qrbsim::parseFault("silent@sync")};
    board = std::make_unique<BoardSimulator>(config);
    board->start();
    const std::string go = (resources.path() / "go").string();

    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::vector<std::string> words = {self, std::string("--gtest_filter=") +
                                                test->test_suite_name() + "." + test->name()};
    // The child's end is a real one: under LeakSanitizer it meets the leaks
    // of the system's libraries that a Qt program leaves at its end.
    const char* leakOptions = std::getenv("LSAN_OPTIONS");
    std::vector<std::string> environment = {
        "QRB_TEST_SILENT_LINE=" + board->slavePath(), "QRB_TEST_GO=" + go,
        std::string("LSAN_OPTIONS=") + (leakOptions != nullptr ? leakOptions : "") +
            (leakOptions != nullptr && *leakOptions != '\0' ? ":" : "") +
            "suppressions=" QRB_LSAN_SUPPRESSIONS ":print_suppressions=0"};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("LSAN_OPTIONS=")) {
            envp.push_back(*entry);
        }
    }
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    pid_t child = -1;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), nullptr, nullptr, argv.data(), envp.data()), 0);

    // Once the board has gone silent in the synchronisation, the window is
    // closed; then the process must end long before the 5 seconds that the
    // worker would wait for the board.
    int status = 0;
    std::optional<std::chrono::steady_clock::time_point> closed;
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (!closed && board->waitForEvent("fault: silent from sync", 0ms)) {
            std::ofstream(go).put('\n');
            closed = std::chrono::steady_clock::now();
        }
        if (std::chrono::steady_clock::now() > limit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the child run did not end";
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_TRUE(closed) << "the board never went silent in the synchronisation";
    const auto took = std::chrono::steady_clock::now() - *closed;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child run ended with status " << status;
    EXPECT_LT(took, 4s) << "from the close to the end of the process";

    // The line is free again: nobody holds the tty, and it is not marked for
    // exclusive use.
    const int fd = ::open(board->slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int exclusive = -1;
    // Straight to the kernel: umockdev's ioctl stands in for ttys of its own.
    EXPECT_EQ(::syscall(SYS_ioctl, fd, TIOCGEXCL, &exclusive), 0) << std::strerror(errno);
    EXPECT_EQ(exclusive, 0);
    ::close(fd);
}

} // namespace
