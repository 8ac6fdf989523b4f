#include "AppTestSupport.h"
#include "BoardSimulator.h"
#include "Pty.h"
#include "Unprivileged.h"

#include <gmock/gmock.h>

#include <algorithm>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace app_tests {
namespace {

using ::testing::ElementsAre;
using Style = ApplicationFramework::AlertStyle;

// Detection with boards whose device paths do not reach a board: a worker
// that is started keeps retrying its open every 0.2 s until told to stop.
class DetectionTest : public AppTest {
  protected:
    DetectionTest() { writeConfiguration(); }

    std::string nowhere(const std::string& name) const {
        return (resources.path() / ("no-such-" + name)).string();
    }
    // Runs the loop a little while, for checks that nothing happens.
    void settle() { platform->runFor(300ms); }
    std::string servedPath() const {
        const auto& boxes = controller->qrbBoxes();
        EXPECT_EQ(boxes.size(), 1u);
        return boxes.empty() ? "" : *stringProperty(*boxes.begin()->second, "IOCalloutDevice");
    }
};

TEST_F(DetectionTest, SerialNumbersComeFromQrbAndWmxBaseNamesOnly) {
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"usbserial-QRB00042", "QRB00042"},
        {"usbserial-WMX17", "WMX17"},
        {"usbserial-QRB-A-7", "7"},
        {"usbserial-QRB", "QRB"},
        {"usbserial-QRB-", ""},
        {"usbserial-qrb00042", std::nullopt},
        {"usbserial-FT1234", std::nullopt},
        {"usbmodem-QRB1", std::nullopt},
        {"QRB00042", std::nullopt},
    };
    for (const auto& [baseName, serial] : cases) {
        EXPECT_EQ(AppController::serialNumberForPossibleQRBBoxWithProperties(
                      serialDevice(baseName, "/dev/x")),
                  serial)
            << baseName;
    }
    EXPECT_EQ(AppController::serialNumberForPossibleQRBBoxWithProperties(
                  {{"IOCalloutDevice", std::string("/dev/x")}}),
              std::nullopt);
    EXPECT_EQ(AppController::serialNumberForPossibleQRBBoxWithProperties(
                  {{"IOTTYBaseName", std::int64_t{5}}}),
              std::nullopt);
}

TEST_F(DetectionTest, OnlyBoardsCountAndOneSerialNumberIsOneBoard) {
    start();
    attach("usbserial-FT1234", nowhere("ft"));
    attach("Bluetooth-Incoming-Port", nowhere("bt"));
    settle();
    EXPECT_EQ(platform->workersStarted(), 0u);
    EXPECT_TRUE(controller->qrbBoxes().empty());

    // Two devices with one serial number: one board, the later report wins.
    devices->addDevice(serialDevice("usbserial-QRB00042", nowhere("first")));
    devices->addDevice(serialDevice("usbserial-WMX-QRB00042", nowhere("second")));
    ASSERT_TRUE(platform->runUntil([this] { return platform->workersStarted() == 1; }, 2s));
    settle();
    EXPECT_EQ(servedPath(), nowhere("second"));
    EXPECT_EQ(platform->workersStarted(), 1u);
    EXPECT_TRUE(platform->alerts().empty());
    // A retried open of a missing device is not logged.
    EXPECT_TRUE(platform->logLines().empty());
}

TEST_F(DetectionTest, AWmxBoardAttachedAtStartUpIsServedDuringRegistration) {
    attach("usbserial-WMX9", nowhere("wmx"));
    controller->awakeFromNib();
    EXPECT_EQ(platform->workersStarted(), 0u);
    ASSERT_TRUE(platform->runUntil([this] { return platform->workersStarted() == 1; }, 2s));
    EXPECT_EQ(servedPath(), nowhere("wmx"));
}

TEST_F(DetectionTest, ABoardRemovedWhileItsWorkerRetriesIsReleasedAndServedAgainOnReturn) {
    start();
    auto board = attach("usbserial-QRB1", nowhere("one"));
    ASSERT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 1; }, 2s));

    devices->removeDevice(board);
    ASSERT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 0; }, 2s));
    EXPECT_TRUE(controller->qrbBoxes().empty());

    attach("usbserial-QRB1", nowhere("again"));
    ASSERT_TRUE(platform->runUntil([this] { return platform->workersStarted() == 2; }, 2s));
    EXPECT_EQ(servedPath(), nowhere("again"));

    // While the connection runs, a second board comes and goes: nothing is
    // started or shown, and the first board's worker goes on.
    const auto again = devices->addDevice(serialDevice("usbserial-QRB2", nowhere("other")));
    settle();
    EXPECT_EQ(platform->workersStarted(), 2u);
    devices->removeDevice(again);
    settle();
    EXPECT_TRUE(platform->alerts().empty());
    EXPECT_EQ(platform->runningWorkers(), 1u);
}

TEST_F(DetectionTest, ABoardPluggedOutAndInWithinOnePassIsStillServed) {
    start();
    auto board = attach("usbserial-QRB1", nowhere("one"));
    ASSERT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 1; }, 2s));

    // Removal and return both wait for the same pass of the loop.
    devices->removeDevice(board);
    attach("usbserial-QRB1", nowhere("again"));
    ASSERT_TRUE(platform->runUntil([this] { return platform->workersStarted() == 2; }, 3s));
    EXPECT_EQ(servedPath(), nowhere("again"));
    EXPECT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 1; }, 1s));
}

TEST_F(DetectionTest, AReturningBoardWaitsForTheStoppedWorkerToEnd) {
    start();
    // The worker logs each attempt, then pauses 0.2 s before the next.
    auto board = attach("usbserial-QRB1", "/dev/null");
    ASSERT_TRUE(platform->runUntil([this] { return !platform->logLines().empty(); }, 2s));
    // Plugged in again as soon as the removal has been handled, while the
    // worker still pauses.
    devices->removeDevice(board);
    ASSERT_TRUE(platform->runUntil([this] { return controller->qrbBoxes().empty(); }, 2s));
    attach("usbserial-QRB1", nowhere("two"));
    ASSERT_TRUE(platform->runUntil([this] { return platform->workersStarted() == 2; }, 3s));
    // (The old thread may take a moment to return once it has handed over.)
    EXPECT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 1; }, 1s));
    EXPECT_EQ(servedPath(), nowhere("two"));
}

// A refusal that is not EBUSY names no holder: it says what it is, in the
// window and once in the journal.
TEST_F(DetectionTest, ADeviceRefusingExclusiveUseIsLoggedOnEveryAttempt) {
    start();
    auto board = attach("usbserial-QRB1", "/dev/null");
    ASSERT_TRUE(platform->runUntil([this] { return platform->logLines().size() >= 4; }, 3s));
    const std::string claim =
        "Cannot claim /dev/null for exclusive use: Inappropriate ioctl for device.";
    const auto lines = platform->logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), claim), 1);
    for (const std::string& line : lines) {
        if (line != claim) {
            EXPECT_EQ(line, "Exception(3): [SerialTIOCEXCLError.: There was a problem getting "
                            "exclusive access to the QRB Box.]");
        }
    }
    EXPECT_TRUE(platform->runUntil(
        [&] { return platform->textOf(outlet::connectionDiagnosis) == claim; }, 2s));
    devices->removeDevice(board);
    ASSERT_TRUE(platform->runUntil([this] { return platform->runningWorkers() == 0; }, 2s));
    EXPECT_TRUE(platform->alerts().empty());
    EXPECT_EQ(ser_fd, -1);
}

TEST_F(DetectionTest, TwoBoardsAreReportedAfterEveryOkUntilOneIsRemoved) {
    start();
    const auto first = attach("usbserial-QRB1", nowhere("one"));
    attach("usbserial-QRB2", nowhere("two"));

    int shown = 0;
    auto answer = [&](const TestPlatform::Alert&) -> std::optional<int> {
        ++shown;
        return 1;
    };
    for (int i = 0; i < 3; ++i) {
        platform->queueAlertAnswer(answer);
    }
    // The third alert stays open while the first board is unplugged: the
    // removal waits until it has been answered.
    int passes = 0;
    platform->queueAlertAnswer([&](const TestPlatform::Alert&) -> std::optional<int> {
        if (passes == 0) {
            devices->removeDevice(first);
        }
        EXPECT_EQ(controller->qrbBoxes().size(), 2u);
        EXPECT_EQ(platform->workersStarted(), 0u);
        return ++passes < 10 ? std::nullopt : std::optional<int>(1);
    });
    ASSERT_TRUE(platform->runUntil([this] { return platform->workersStarted() == 1; }, 5s));
    EXPECT_EQ(shown, 3);
    const auto alerts = platform->alerts();
    ASSERT_EQ(alerts.size(), 4u);
    for (const TestPlatform::Alert& alert : alerts) {
        EXPECT_EQ(alert.style, Style::Critical);
        EXPECT_EQ(alert.title, "Multiple QRB Boards Detected");
        EXPECT_EQ(alert.message, "Please make sure that only one QRB board is connected to your "
                                 "computer during this firmware update.");
        EXPECT_EQ(alert.defaultButton, "OK");
        EXPECT_FALSE(alert.alternateButton || alert.otherButton);
        EXPECT_EQ(alert.escapeResult, 1) << "the way out is the one button";
    }
    EXPECT_EQ(servedPath(), nowhere("two"));
    settle();
    EXPECT_EQ(platform->alerts().size(), 4u);
}

// Opens that keep failing for a reason the user can remove are explained in
// the main window. Permissions and exclusive use bind only an unprivileged
// process: these run in a child run of the test (through setpriv as root).
class DiagnosisTest : public DetectionTest {
  protected:
    static bool inChildRun() { return testing_support::inUnprivilegedRun(); }
    // In the parent run: runs the test again as the child run.
    static void runChild() {
        const std::optional<int> status = testing_support::runCurrentTestUnprivileged();
        if (!status) {
            GTEST_SKIP() << "setpriv is needed to run the application as an unprivileged user";
        }
        EXPECT_EQ(*status, 0) << "the child run failed";
    }
    std::string diagnosis() const { return platform->textOf(outlet::connectionDiagnosis); }
};

TEST_F(DiagnosisTest, ADeviceTheUserMayNotOpenIsExplainedOnceAndServedOnceItOpens) {
    if (!inChildRun()) {
        return runChild();
    }
    qrbsim::SimulatorConfig config;
    config.versionWord = 0x00020201;
    qrbsim::BoardSimulator board(config);
    board.start();
    const std::string device = board.slavePath();
    ASSERT_EQ(chmod(device.c_str(), 0), 0);

    start();
    attach("usbserial-QRB1", device);
    const std::string line = "Cannot open " + device +
                             ": permission denied. Install the updater's udev rule or add your "
                             "user to the dialout group, then plug the board in again.";
    ASSERT_TRUE(platform->runUntil([&] { return diagnosis() == line; }, 10s));
    const std::size_t retries = platform->sleeps();
    ASSERT_TRUE(platform->runUntil([&] { return platform->sleeps() >= retries + 8; }, 10s));
    EXPECT_THAT(platform->logLines(), ElementsAre(line)) << "one journal line, not one per retry";
    EXPECT_TRUE(platform->alerts().empty());

    // The user is given access: the update starts without plugging in again.
    ASSERT_EQ(chmod(device.c_str(), 0600), 0);
    platform->queueAlertAnswer(0); // "Exit"
    EXPECT_EQ(platform->runUntilExit(20s), 0);
    ASSERT_EQ(platform->alerts().size(), 1u);
    EXPECT_EQ(platform->alerts()[0].title, "Update Firmware");
    EXPECT_THAT(platform->captionsOf(outlet::connectionDiagnosis), ElementsAre(line, ""));
    EXPECT_THAT(platform->logLines(), ElementsAre(line));
}

TEST_F(DiagnosisTest, ADeviceHeldByAnotherProgramNamesItAfterAWhileUntilTheBoardLeaves) {
    if (!inChildRun()) {
        return runChild();
    }
    testing_support::Pty pty;
    const std::string device = pty.slavePath();
    // Another program, by a name of its own, holds the device exclusively
    // until its pipe closes. The device is taken before the fork; the forked
    // process only names itself and waits, in plain system calls.
    const int held = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);
    int ready[2] = {-1, -1};
    int release[2] = {-1, -1};
    ASSERT_EQ(pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        char byte = 0;
        ::syscall(SYS_close, release[1]);
        ::syscall(SYS_prctl, PR_SET_NAME, "qrb-test-holder", 0, 0, 0);
        ::syscall(SYS_write, ready[1], &byte, 1);
        ::syscall(SYS_read, release[0], &byte, 1);
        ::syscall(SYS_exit_group, 0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    beforeJoin = [holder, held, releaseEnd = release[1]] {
        ::close(releaseEnd);
        EXPECT_EQ(waitpid(holder, nullptr, 0), holder);
        ::ioctl(held, TIOCNXCL); // a pty keeps the mark past the last close
        ::close(held);
    };
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the holder did not start";
    ::close(ready[0]);

    start();
    const auto board = attach("usbserial-QRB1", device);
    const std::string line =
        device + " is in use by qrb-test-holder (process " + std::to_string(holder) + ").";
    ASSERT_TRUE(platform->runUntil([&] { return diagnosis() == line; }, 10s)) << diagnosis();
    EXPECT_GE(platform->sleeps(), 9u) << "named only after about 2 s of refusals";
    EXPECT_THAT(platform->captionsOf(outlet::connectionDiagnosis), ElementsAre(line));

    devices->removeDevice(board);
    ASSERT_TRUE(platform->runUntil([&] { return platform->runningWorkers() == 0; }, 10s));
    EXPECT_THAT(platform->captionsOf(outlet::connectionDiagnosis), ElementsAre(line, ""));
    EXPECT_THAT(platform->logLines(), ElementsAre(line));
    EXPECT_TRUE(platform->alerts().empty());
}

} // namespace
} // namespace app_tests
