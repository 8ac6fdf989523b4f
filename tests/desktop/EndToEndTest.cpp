#include "AppTestSupport.h"
#include "BoardSimulator.h"
#include "FirmwareUpdaterException.h"
#include "RecordWalk.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <filesystem>
#include <thread>
#include <utility>

extern char** environ;

namespace app_tests {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Style = ApplicationFramework::AlertStyle;
using qrbsim::BoardSimulator;
using qrbsim::BoardState;
using qrbsim::Fault;
using qrbsim::Step;
using Clock = std::chrono::steady_clock;

const std::string kSampleResources = QRB_RESOURCE_DIR;
constexpr uint32_t kImageVersion = 0x00030201; // the samples' 1.2.3

// The data records of an image file: address and bytes.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> imageRecords(const std::string& path) {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    openImageFile(path.c_str());
    walkImageRecords([&](const ImageRecord& record) {
        if (record.type != 1) {
            return;
        }
        std::vector<uint8_t> data(record.length);
        for (uint8_t& byte : data) {
            byte = static_cast<uint8_t>(ReadUint(1));
        }
        records.emplace_back(record.address, std::move(data));
    });
    closeImageFile();
    return records;
}

Fault answerWith(uint8_t command, uint8_t value) {
    Fault fault;
    fault.kind = Fault::Kind::Answer;
    fault.command = command;
    fault.value = value;
    return fault;
}

Fault silentFrom(Step step) {
    Fault fault;
    fault.kind = Fault::Kind::Silent;
    fault.step = step;
    return fault;
}

// The one deadline of an exchange on the main thread.
const std::string kNoAnswerWithinTwoSeconds =
    "[SerialCommTimeoutError: Serial Communication Error: no answer from the QRB board within 2 "
    "s.]";

// What the main window and the journal say once a board has not answered.
std::string notAnswered(const std::string& tty) {
    return "The QRB Box on " + tty + " did not answer. Unplug it and plug it in again.";
}

Fault hangupAt(Step step) {
    Fault fault;
    fault.kind = Fault::Kind::HangupAt;
    fault.step = step;
    return fault;
}

// Index of the first event that starts with prefix, or the number of events.
size_t firstEvent(const std::vector<std::string>& events, const std::string& prefix) {
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].starts_with(prefix)) {
            return i;
        }
    }
    return events.size();
}

bool hasEvent(const std::vector<std::string>& events, const std::string& prefix) {
    return firstEvent(events, prefix) < events.size();
}

// The whole application against simulated boards on ptys.
class EndToEndTest : public AppTest {
  protected:
    EndToEndTest() { platform->setResourcePath(kSampleResources); }

    BoardSimulator& board(uint32_t versionWord = 0x00020201, std::vector<Fault> faults = {}) {
        qrbsim::SimulatorConfig config;
        config.versionWord = versionWord;
        config.faults = std::move(faults);
        boards.push_back(std::make_unique<BoardSimulator>(std::move(config)));
        boards.back()->start();
        return *boards.back();
    }
    MemoryDeviceSource::DeviceId plugIn(const BoardSimulator& simulated,
                                        const std::string& baseName = "usbserial-QRB00042") {
        return attach(baseName, simulated.slavePath());
    }

    // Runs the application from awakeFromNib to its exit.
    std::optional<int> runToExit() {
        return platform->runUntilExit(30s, [this] { controller->awakeFromNib(); });
    }

    std::vector<TestPlatform::Alert> alertsTitled(const std::string& title) const {
        std::vector<TestPlatform::Alert> found;
        for (const auto& alert : platform->alerts()) {
            if (alert.title == title) {
                found.push_back(alert);
            }
        }
        return found;
    }

    void expectFailureAlertOnly() {
        EXPECT_TRUE(alertsTitled("Firmware Update").empty());
        const auto failures = alertsTitled("Firmware Update Error");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].style, Style::Critical);
        EXPECT_EQ(failures[0].message, "Firmware update failed.");
        EXPECT_FALSE(failures[0].defaultButton || failures[0].alternateButton ||
                     failures[0].otherButton);
        EXPECT_EQ(ser_fd, -1);
    }

    // Copies of the sample resources in the test's own directory, without
    // the named files.
    void useResourcesWithout(const std::string& missing) {
        for (const char* name : {"QRB_Image.plist", "QRB_Firmware.sc", "QRB_RAM_Bootloader.sc"}) {
            if (missing != name) {
                std::filesystem::copy_file(std::filesystem::path(kSampleResources) / name,
                                           resources.path() / name);
            }
        }
        platform->setResourcePath(resources.path().string());
    }

    std::vector<std::unique_ptr<BoardSimulator>> boards;
};

TEST_F(EndToEndTest, ABoardAttachedAtStartUpIsUpdatedStepByStep) {
    BoardSimulator& simulated = board(0x00020201);
    plugIn(simulated);

    // At each step caption the board must not have seen that step's work.
    std::vector<size_t> eventsAtCaption;
    platform->onCaption([&](const TestPlatform::Caption& caption) {
        if (caption.field == "progressCaption") {
            eventsAtCaption.push_back(simulated.events().size());
        }
    });
    EXPECT_EQ(runToExit(), 0);

    EXPECT_EQ(platform->captionsOf("progressCaption"), kUpdateCaptions);
    const std::vector<std::string> events = simulated.events();
    ASSERT_EQ(eventsAtCaption.size(), 8u);
    // The first event of each step's work, by step.
    const std::vector<std::pair<size_t, std::string>> work = {
        {2, "program ram"},     {3, "verify ram"},
        {3, "jump 0x00400000"}, {3, "RAM bootloader started"},
        {5, "unseal"},          {6, "program flash"},
        {7, "verify flash"},    {8, "seal 0x030201"},
    };
    for (const auto& [step, prefix] : work) {
        const size_t at = firstEvent(events, prefix);
        ASSERT_LT(at, events.size()) << prefix;
        EXPECT_GE(at, eventsAtCaption[step - 1]) << prefix << " before its caption";
        if (step < 8) {
            EXPECT_LT(at, eventsAtCaption[step]) << prefix << " after the next caption";
        }
    }
    EXPECT_EQ(simulated.syncCount(), 2u); // resident, then RAM bootloader

    // The decision, then the success alert.
    const auto alerts = platform->alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].style, Style::Plain);
    EXPECT_EQ(alerts[0].title, "Update Firmware");
    EXPECT_EQ(alerts[0].message, "QRB Box detected with version 1.2.2 of firmware.  This updater "
                                 "will update the firmware to version 1.2.3.");
    EXPECT_EQ(alerts[0].defaultButton, "Update Firmware");
    EXPECT_EQ(alerts[0].alternateButton, "Exit");
    EXPECT_EQ(alerts[1].style, Style::Informational);
    EXPECT_EQ(alerts[1].title, "Firmware Update");
    EXPECT_EQ(alerts[1].message, "Firmware update completed successfully.");
    EXPECT_FALSE(alerts[1].defaultButton || alerts[1].alternateButton || alerts[1].otherButton);

    EXPECT_THAT(platform->uiEvents(),
                ElementsAre("startAnimation connectionProgressIndicator",
                            "stopAnimation connectionProgressIndicator", "performClose mainWindow",
                            "makeKeyAndOrderFront busyPanel",
                            "setUsesThreadedAnimation progressIndicator",
                            "startAnimation progressIndicator", "displayIfNeeded busyPanel",
                            "stopAnimation progressIndicator", "performClose busyPanel"));
    EXPECT_THAT(platform->logLines(), IsEmpty());
    EXPECT_FALSE(controller->applicationShouldTerminateAfterLastWindowClosed());

    // The flash holds the image, sealed with the image version.
    EXPECT_TRUE(simulated.sealed());
    EXPECT_EQ(simulated.versionWord(), kImageVersion);
    const auto records = imageRecords(controller->imageFilePath());
    ASSERT_FALSE(records.empty());
    for (const auto& [address, data] : records) {
        EXPECT_EQ(simulated.memory(address, data.size()), data) << "record at " << address;
    }
    EXPECT_EQ(ser_fd, -1);
}

TEST_F(EndToEndTest, ABoardAttachedLaterIsServedWhenItArrives) {
    start();
    platform->runFor(300ms);
    EXPECT_EQ(platform->workersStarted(), 0u);
    BoardSimulator& simulated = board(0xFFFFFFFF);
    plugIn(simulated, "usbserial-WMX7");
    EXPECT_EQ(platform->runUntilExit(30s), 0);
    EXPECT_EQ(platform->captionsOf("progressCaption"), kUpdateCaptions);
    ASSERT_EQ(alertsTitled("Firmware Update").size(), 1u);
    EXPECT_TRUE(simulated.sealed());
    EXPECT_EQ(simulated.versionWord(), kImageVersion);
}

// The four version cases, each with both answers.
TEST_F(EndToEndTest, EachVersionCaseAsksOnceAndActsOnTheAnswer) {
    struct Case {
        uint32_t word;
        Style style;
        const char* title;
        const char* message;
        const char* defaultButton;
        const char* alternateButton;
        int exitAnswer;
    };
    const std::vector<Case> cases = {
        {0xFFFFFFFF, Style::Plain, "Program Firmware",
         "QRB board detected with corrupt or missing firmware.  This updater will program new "
         "firmware v1.2.3 into the board.",
         "Program Firmware", "Exit", 0},
        {0x00020201, Style::Plain, "Update Firmware",
         "QRB Box detected with version 1.2.2 of firmware.  This updater will update the "
         "firmware to version 1.2.3.",
         "Update Firmware", "Exit", 0},
        {0xFF030201, Style::Critical, "Update Warning",
         "QRB board detected with up-to-date firmware (v1.2.3).  This board does not need an "
         "update.",
         "Exit", "Force Update", 1},
        {0x00000102, Style::Critical, "Update Warning",
         "QRB board detected with newer firmware (v2.1.0) than this update (v1.2.3).", "Exit",
         "Force Update", 1},
    };
    // The user's answer: the button that updates, "Exit", or the way out of
    // the alert (Escape, its close button), which must act as "Exit".
    enum class Given { Update, Exit, WayOut };
    for (const Case& c : cases) {
        for (const Given given : {Given::Update, Given::Exit, Given::WayOut}) {
            const bool update = given == Given::Update;
            SCOPED_TRACE(std::string(c.title) + (update                 ? ", update"
                                                 : given == Given::Exit ? ", exit"
                                                                        : ", way out"));
            // Each run is a process of its own.
            TestPlatform local(kSampleResources);
            auto app = AppController::create(local);
            qrbsim::SimulatorConfig config;
            config.versionWord = c.word;
            BoardSimulator simulated(config);
            simulated.start();
            const auto id = attach("usbserial-QRB1", simulated.slavePath());
            if (given == Given::WayOut) {
                local.queueAlertEscape();
            } else {
                local.queueAlertAnswer(update ? 1 - c.exitAnswer : c.exitAnswer);
            }
            local.queueAlertEscape(); // the final alert's way out is its one button

            EXPECT_EQ(local.runUntilExit(30s, [&] { app->awakeFromNib(); }), 0);
            const auto alerts = local.alerts();
            ASSERT_GE(alerts.size(), 1u);
            EXPECT_EQ(alerts[0].style, c.style);
            EXPECT_EQ(alerts[0].title, c.title);
            EXPECT_EQ(alerts[0].message, c.message);
            EXPECT_EQ(alerts[0].defaultButton, c.defaultButton);
            EXPECT_EQ(alerts[0].alternateButton, c.alternateButton);
            EXPECT_FALSE(alerts[0].otherButton);
            EXPECT_EQ(alerts[0].escapeResult, c.exitAnswer) << "the way out is \"Exit\"";
            if (update) {
                ASSERT_EQ(alerts.size(), 2u);
                EXPECT_EQ(alerts[1].title, "Firmware Update");
                EXPECT_EQ(alerts[1].answer, 1);
                EXPECT_EQ(simulated.versionWord(), kImageVersion);
                EXPECT_TRUE(simulated.sealed());
            } else {
                // "Exit": short command 6 after the query, and no update.
                EXPECT_EQ(alerts.size(), 1u);
                EXPECT_TRUE(local.captionsOf("progressCaption").empty());
                EXPECT_TRUE(simulated.waitForEvent(
                    c.word == 0xFFFFFFFF ? "exit: no firmware to start" : "firmware started", 5s));
                EXPECT_EQ(simulated.versionWord(), c.word);
                EXPECT_FALSE(hasEvent(simulated.events(), "program"));
                EXPECT_FALSE(hasEvent(simulated.events(), "short command 0x01"));
            }
            EXPECT_THAT(local.logLines(), IsEmpty());
            app->invalidate();
            local.shutdown();
            EXPECT_TRUE(local.joinWorkers(10s));
            devices->removeDevice(id);
            serClose();
        }
    }
}

TEST_F(EndToEndTest, ExitWithABoardThatDoesNotEchoCommandSixStillEndsCleanly) {
    BoardSimulator& simulated = board(0x00030201, {answerWith(kCommandExit, 0x15)});
    plugIn(simulated);
    EXPECT_EQ(runToExit(), 0); // "Exit" is the default of the same case
    EXPECT_THAT(platform->logLines(),
                ElementsAre("Exception(1): [ShortCommandError: Error executing short command "
                            "(21:6).]"));
    EXPECT_EQ(platform->alerts().size(), 1u);
    EXPECT_EQ(ser_fd, -1);
}

TEST_F(EndToEndTest, ExitWithABoardSilentAtCommandSixEndsAfterTwoSeconds) {
    BoardSimulator& simulated = board(0x00030201, {silentFrom(Step::Exit)});
    plugIn(simulated);
    EXPECT_EQ(runToExit(), 0); // "Exit" is the default of the same case
    EXPECT_THAT(platform->logLines(), ElementsAre("Exception(1): " + kNoAnswerWithinTwoSeconds));
    EXPECT_EQ(ser_fd, -1);
}

// --- Update failures: each ends with the failure alert and exit status 0.

TEST_F(EndToEndTest, AMissingRamBootloaderFailsBeforeAnythingIsSent) {
    useResourcesWithout("QRB_RAM_Bootloader.sc");
    BoardSimulator& simulated = board();
    plugIn(simulated);
    EXPECT_EQ(runToExit(), 0);
    EXPECT_THAT(platform->captionsOf("progressCaption"), ElementsAre(kUpdateCaptions[0]));
    EXPECT_THAT(platform->logLinesWithoutTraces(),
                ElementsAre("Exception(7): [FileNotFoundError: Cannot open " +
                            controller->ramBootloaderFilePath() + ".]"));
    expectFailureAlertOnly();
    // Nothing but the line's closing after the version query.
    const auto events = simulated.events();
    for (size_t i = firstEvent(events, "version") + 1; i < events.size(); ++i) {
        EXPECT_TRUE(events[i].starts_with("line ")) << events[i];
    }
    EXPECT_EQ(simulated.state(), BoardState::ResidentBootloader);
}

TEST_F(EndToEndTest, AMissingFirmwareImageFailsOnceTheRamBootloaderRuns) {
    useResourcesWithout("QRB_Firmware.sc");
    BoardSimulator& simulated = board();
    plugIn(simulated);
    EXPECT_EQ(runToExit(), 0);
    EXPECT_THAT(platform->captionsOf("progressCaption"),
                ElementsAreArray(kUpdateCaptions.begin(), kUpdateCaptions.begin() + 4));
    EXPECT_THAT(platform->logLinesWithoutTraces(),
                ElementsAre("Exception(7): [FileNotFoundError: Cannot open " +
                            controller->imageFilePath() + ".]"));
    expectFailureAlertOnly();
    EXPECT_EQ(simulated.state(), BoardState::RamBootloader);
    EXPECT_EQ(simulated.syncCount(), 2u);
    EXPECT_FALSE(hasEvent(simulated.events(), "unseal"));
}

TEST_F(EndToEndTest, BoardFaultsDuringTheUpdateEndWithTheFailureAlert) {
    struct Case {
        const char* name;
        Fault fault;
        size_t captions;
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"wrong echo at unseal", answerWith(kCommandUnseal, 0x15), 5,
         "Exception(7): [ShortCommandError: Error executing short command (21:1).]"},
        {"sealing refused", answerWith(kCommandSeal, 0x15), 8,
         "Exception(7): [SealingError: Error sealing the flash (21).]"},
        {"unplugged while programming", hangupAt(Step::Program), 2, "Exception(7): [SerialComm"},
        {"unplugged while verifying", hangupAt(Step::Verify), 3, "Exception(7): [SerialComm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestPlatform local(kSampleResources);
        auto app = AppController::create(local);
        qrbsim::SimulatorConfig config;
        config.faults = {c.fault};
        BoardSimulator simulated(config);
        simulated.start();
        const auto id = attach("usbserial-QRB1", simulated.slavePath());

        EXPECT_EQ(local.runUntilExit(30s, [&] { app->awakeFromNib(); }), 0);
        EXPECT_THAT(local.captionsOf("progressCaption"),
                    ElementsAreArray(kUpdateCaptions.begin(),
                                     kUpdateCaptions.begin() + static_cast<long>(c.captions)));
        EXPECT_EQ(local.traceLines().size(), 1u) << "one line names the failure's serial trace";
        const auto lines = local.logLinesWithoutTraces();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_TRUE(lines[0].starts_with(c.logged)) << lines[0];
        const auto alerts = local.alerts();
        ASSERT_EQ(alerts.size(), 2u);
        EXPECT_EQ(alerts[1].style, Style::Critical);
        EXPECT_EQ(alerts[1].title, "Firmware Update Error");
        EXPECT_EQ(alerts[1].message, "Firmware update failed.");
        EXPECT_EQ(ser_fd, -1);
        EXPECT_NE(simulated.versionWord(), kImageVersion);

        app->invalidate();
        local.shutdown();
        EXPECT_TRUE(local.joinWorkers(10s));
        devices->removeDevice(id);
    }
}

// --- Connection and version query failures: back to waiting for a board.

TEST_F(EndToEndTest, AFailedVersionQueryWaitsForTheBoardToBePluggedInAgain) {
    BoardSimulator& first = board(0x00020201, {answerWith(kCommandVersion, 0x15)});
    const auto id = plugIn(first);
    start();
    ASSERT_TRUE(platform->runUntil([this] { return !platform->logLines().empty(); }, 10s));
    platform->runFor(300ms);
    EXPECT_THAT(platform->logLinesWithoutTraces(),
                ElementsAre("Exception(2): [VersionInfoError: Error getting firmware version "
                            "(21).]",
                            notAnswered(first.slavePath())));
    EXPECT_EQ(platform->textOf(outlet::connectionDiagnosis), notAnswered(first.slavePath()));
    EXPECT_TRUE(platform->alerts().empty());
    EXPECT_TRUE(platform->isShown("mainWindow"));
    EXPECT_FALSE(platform->isAnimating("connectionProgressIndicator"));
    EXPECT_TRUE(controller->applicationShouldTerminateAfterLastWindowClosed());
    EXPECT_EQ(platform->workersStarted(), 1u);
    EXPECT_EQ(ser_fd, -1);

    // Unplugged (the line goes) and plugged in again (now answering): a new
    // connection.
    devices->removeDevice(id);
    ASSERT_TRUE(platform->runUntil([this] { return controller->qrbBoxes().empty(); }, 2s));
    EXPECT_EQ(platform->textOf(outlet::connectionDiagnosis), "");
    BoardSimulator& second = board(0x00020201);
    plugIn(second);
    platform->queueAlertAnswer(0); // "Exit"
    EXPECT_EQ(platform->runUntilExit(20s), 0);
    EXPECT_EQ(platform->workersStarted(), 2u);
    EXPECT_EQ(platform->logLinesWithoutTraces().size(), 2u) << "the line went to the journal once";
    EXPECT_EQ(platform->traceLines().size(), 1u) << "the failed query's trace, and no other";
    ASSERT_EQ(platform->alerts().size(), 1u);
    EXPECT_EQ(platform->alerts()[0].title, "Update Firmware");
    EXPECT_TRUE(second.waitForEvent("firmware started", 5s));
}

// The main thread waits for the silent board at most 2 seconds for the whole
// exchange; a call posted during the silence runs once that is over.
TEST_F(EndToEndTest, ABoardSilentAtTheVersionQueryFreesTheWindowWithinTwoSeconds) {
    BoardSimulator& first = board(0x00020201, {silentFrom(Step::Version)});
    const auto id = plugIn(first);
    std::atomic<bool> posted{false};
    std::atomic<bool> ran{false};
    Clock::time_point silenceBegan;
    Clock::time_point answered;
    std::thread observer([&] {
        for (int i = 0; i < 2000 && !hasEvent(first.events(), "fault: silent from version"); ++i) {
            std::this_thread::sleep_for(5ms);
        }
        silenceBegan = Clock::now();
        platform->performOnMainThread(
            [&] {
                answered = Clock::now();
                ran = true;
            },
            false);
        posted = true;
    });
    start();
    const bool freed = platform->runUntil([&] { return ran.load(); }, 15s);
    observer.join();
    ASSERT_TRUE(freed && posted) << ::testing::PrintToString(first.events())
                                 << ::testing::PrintToString(platform->logLines());
    EXPECT_LT(answered - silenceBegan, 4s) << "bound 2 s, with room for a busy machine";
    EXPECT_THAT(
        platform->logLinesWithoutTraces(),
        ElementsAre("Exception(2): " + kNoAnswerWithinTwoSeconds, notAnswered(first.slavePath())));
    EXPECT_EQ(platform->textOf(outlet::connectionDiagnosis), notAnswered(first.slavePath()));
    EXPECT_TRUE(platform->alerts().empty());
    EXPECT_TRUE(platform->isShown("mainWindow"));
    EXPECT_EQ(ser_fd, -1);

    // Unplugged and plugged in again (now answering): a new connection.
    devices->removeDevice(id);
    ASSERT_TRUE(platform->runUntil([this] { return controller->qrbBoxes().empty(); }, 2s));
    BoardSimulator& second = board(0x00020201);
    plugIn(second);
    platform->queueAlertAnswer(0); // "Exit"
    EXPECT_EQ(platform->runUntilExit(20s), 0);
    ASSERT_EQ(platform->alerts().size(), 1u);
    EXPECT_EQ(platform->alerts()[0].title, "Update Firmware");
    EXPECT_TRUE(second.waitForEvent("firmware started", 5s));
}

TEST_F(EndToEndTest, ABoardUnpluggedDuringSynchronisationIsServedWhenItReturns) {
    BoardSimulator& first = board(0x00020201, {hangupAt(Step::Sync)});
    const auto id = plugIn(first);
    start();
    ASSERT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 0; }, 10s));
    platform->runFor(200ms);
    EXPECT_TRUE(hasEvent(first.events(), "fault: hang-up at sync"));
    // No log line (the read failed as the line went) but the one naming the
    // attempt's serial trace, no alert, still waiting.
    EXPECT_THAT(platform->logLinesWithoutTraces(), IsEmpty());
    EXPECT_EQ(platform->traceLines().size(), 1u);
    EXPECT_TRUE(platform->alerts().empty());
    EXPECT_TRUE(platform->isShown("mainWindow"));
    EXPECT_EQ(ser_fd, -1);

    devices->removeDevice(id);
    ASSERT_TRUE(platform->runUntil([this] { return controller->qrbBoxes().empty(); }, 2s));
    BoardSimulator& second = board(0x00020201);
    plugIn(second);
    EXPECT_EQ(platform->runUntilExit(30s), 0);
    ASSERT_EQ(alertsTitled("Firmware Update").size(), 1u);
    EXPECT_EQ(second.versionWord(), kImageVersion);
}

TEST_F(EndToEndTest, ASecondBoardDuringAConnectionShowsNothing) {
    BoardSimulator& first = board(0x00020201);
    BoardSimulator& second = board(0x00020201);
    plugIn(first, "usbserial-QRB1");
    start();
    plugIn(second, "usbserial-QRB2");
    platform->queueAlertAnswer(0); // "Exit" at the decision
    EXPECT_EQ(platform->runUntilExit(20s), 0);
    ASSERT_EQ(platform->alerts().size(), 1u);
    EXPECT_EQ(platform->alerts()[0].title, "Update Firmware");
    EXPECT_TRUE(hasEvent(first.events(), "reset"));
    EXPECT_FALSE(hasEvent(second.events(), "reset"));
    EXPECT_EQ(platform->workersStarted(), 1u);
}

// A platform whose services fail on a worker thread with an exception from
// outside the updater's family, as a broken lower layer might.
class FailingPlatform : public TestPlatform {
  public:
    using TestPlatform::TestPlatform;
    std::atomic<int> failSleeps{0};        // sleeps on a worker that throw
    std::atomic<int> failCaptionAfter{-1}; // waiting posts that pass before one throws

    void sleep(double seconds) override {
        if (failSleeps > 0) {
            --failSleeps;
            throw std::runtime_error("no sleep");
        }
        TestPlatform::sleep(seconds);
    }
    void performOnMainThread(std::function<void()> call, bool waitUntilDone) override {
        if (waitUntilDone && failCaptionAfter >= 0 && failCaptionAfter-- == 0) {
            throw std::logic_error("no caption");
        }
        TestPlatform::performOnMainThread(std::move(call), waitUntilDone);
    }
};

TEST_F(EndToEndTest, AForeignExceptionInAWorkerIsLoggedAndCountsAsItsFailure) {
    BoardSimulator& simulated = board(0x00020201);
    {
        // The connection worker closes the port and asks for a rescan.
        FailingPlatform local(kSampleResources);
        local.failSleeps = 1;
        auto app = AppController::create(local);
        const auto id = attach("usbserial-QRB1", simulated.slavePath());
        app->awakeFromNib();
        ASSERT_TRUE(local.runUntil(
            [&] { return local.workersStarted() == 1 && local.runningWorkers() == 0; }, 5s));
        local.runFor(100ms);
        EXPECT_THAT(local.logLinesWithoutTraces(),
                    ElementsAre("Unexpected exception in the board connection worker: "
                                "[std::runtime_error: no sleep]"));
        EXPECT_TRUE(local.alerts().empty());
        EXPECT_EQ(ser_fd, -1);
        app->invalidate();
        devices->removeDevice(id);
    }
    // The update worker hands over a failure.
    FailingPlatform local(kSampleResources);
    local.failCaptionAfter = 1;
    auto app = AppController::create(local);
    attach("usbserial-QRB1", simulated.slavePath());
    EXPECT_EQ(local.runUntilExit(20s, [&] { app->awakeFromNib(); }), 0);
    EXPECT_THAT(local.captionsOf("progressCaption"), ElementsAre(kUpdateCaptions[0]));
    EXPECT_THAT(local.logLinesWithoutTraces(),
                ElementsAre("Unexpected exception in the firmware update worker: "
                            "[std::logic_error: no caption]"));
    const auto alerts = local.alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[1].title, "Firmware Update Error");
    app->invalidate();
}

// A device that another program holds is retried silently until it is free.
// Exclusive use does not bind a privileged process, so when the test runs as
// root the application runs in a child run of this test without privileges,
// while this run holds the board's device.
TEST_F(EndToEndTest, ABusyDeviceIsRetriedSilentlyUntilItIsFree) {
    if (const char* device = std::getenv("QRB_TEST_BUSY_DEVICE")) {
        const std::string released = std::getenv("QRB_TEST_RELEASED");
        // The build tree's history belongs to root; this run records in its own.
        ::setenv("QRB_HISTORY", (resources.path() / "history.db").c_str(), 1);
        start();
        attach("usbserial-QRB1", device);
        platform->runFor(600ms);
        EXPECT_EQ(platform->workersStarted(), 1u);
        EXPECT_THAT(platform->logLines(), IsEmpty());
        EXPECT_TRUE(platform->alerts().empty());
        resources.writeFile("released", std::string()); // the other program lets go
        std::filesystem::rename(resources.path() / "released", released);
        platform->queueAlertAnswer(0); // "Exit"
        EXPECT_EQ(platform->runUntilExit(20s), 0);
        EXPECT_THAT(platform->logLines(), IsEmpty());
        ASSERT_EQ(platform->alerts().size(), 1u);
        EXPECT_EQ(platform->alerts()[0].title, "Update Firmware");
        return;
    }
    if (geteuid() != 0) {
        GTEST_SKIP() << "run as root: the device is held by this run, as another program would";
    }
    BoardSimulator& simulated = board(0x00020201);
    ASSERT_EQ(chmod(simulated.slavePath().c_str(), 0666), 0);
    const int held = ::open(simulated.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);
    ASSERT_EQ(chmod(resources.path().c_str(), 0777), 0);
    const std::string released = (resources.path() / "released").string();

    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string filter =
        std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    std::vector<std::string> words = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                      self,      filter};
    std::vector<std::string> environment = {"QRB_TEST_BUSY_DEVICE=" + simulated.slavePath(),
                                            "QRB_TEST_RELEASED=" + released};
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        envp.push_back(*entry);
    }
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    pid_t child = -1;
    ASSERT_EQ(posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);

    // Hold the device until the child has seen it busy, then wait for its end.
    int status = 0;
    bool holding = true;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
        if (holding && std::filesystem::exists(released)) {
            // A pty keeps its exclusive mark past the last close of its slave
            // while the master is open; a real device's mark goes with it.
            ::ioctl(held, TIOCNXCL);
            ::close(held);
            holding = false;
        }
        if (waited == 3000) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << "the child run did not end";
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    if (holding) {
        ::close(held);
    }
    EXPECT_FALSE(holding) << "the child run never reached the release";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child run failed";
    EXPECT_TRUE(simulated.waitForEvent("firmware started", 5s)); // it sent "Exit"
}

} // namespace
} // namespace app_tests
