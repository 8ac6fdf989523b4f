// A failed update leaves a serial trace, and the trace replayed by the
// simulator against the same updater brings the same failure at the same
// step: for each kind of fault the simulated board can commit. Against
// another image the replay says where the exchange departed from the
// recording, and qrb-sim refuses a broken trace, naming the line.

#include "ChildProcess.h"
#include "ImageFile.h"
#include "ReplayBoard.h"
#include "Serial.h"
#include "TraceFormat.h"
#include "UpdaterRun.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace reliability {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::SizeIs;
using testing_support::ChildProcess;

constexpr auto kRunLimit = 20s;
constexpr const char* kTraceLine = "Serial trace written to ";

// One run of the desktop updater (the real controller on the test platform)
// against the board on tty, until it has written a trace: after the final
// alert, or back at the main window after a failed version query. A board
// that keeps the updater waiting is unplugged by unplugAfterWait once the
// updater has waited for it a while.
class DesktopRun {
  public:
    explicit DesktopRun(const std::string& resources) {
        setDefaultDeviceSource(devices_);
        platform_ = std::make_unique<TestPlatform>(resources);
        controller_ = AppController::create(*platform_);
    }
    ~DesktopRun() {
        controller_->invalidate();
        platform_->shutdown();
        if (board_) {
            board_->unplug();
        }
        EXPECT_TRUE(platform_->joinWorkers(15s));
        controller_.reset();
        platform_.reset();
        serClose();
        closeImageFile();
        setDefaultDeviceSource(nullptr);
    }

    // The trace's path, or none when no trace was written in time.
    std::optional<std::string> run(const std::string& tty,
                                   qrbsim::BoardSimulator* waitsThenUnplug) {
        board_ = waitsThenUnplug;
        controller_->awakeFromNib();
        devices_->addDevice(app_tests::serialDevice("usbserial-QRB00042", tty));
        std::jthread unplugger;
        if (waitsThenUnplug != nullptr) {
            unplugger = std::jthread([board = waitsThenUnplug](std::stop_token stop) {
                // Long enough for the updater to be waiting for the silent board.
                for (int i = 0; i < 30 && !stop.stop_requested(); ++i) {
                    std::this_thread::sleep_for(100ms);
                }
                board->unplug();
            });
        }
        platform_->runUntil([this] { return !platform_->logLinesStartingWith(kTraceLine).empty(); },
                            kRunLimit);
        const auto lines = platform_->logLinesStartingWith(kTraceLine);
        EXPECT_THAT(lines, SizeIs(1)) << "one journal line names the trace";
        if (lines.empty()) {
            return std::nullopt;
        }
        return lines.front().substr(std::string(kTraceLine).size());
    }

    TestPlatform& platform() { return *platform_; }

  private:
    std::shared_ptr<MemoryDeviceSource> devices_ = std::make_shared<MemoryDeviceSource>();
    std::unique_ptr<TestPlatform> platform_;
    std::shared_ptr<AppController> controller_;
    qrbsim::BoardSimulator* board_ = nullptr;
};

struct FaultCase {
    std::string fault;
    std::string error;
    std::string step;
    bool waits = false; // the updater waits for the board until it is unplugged
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.fault;
}

class Replay : public UpdaterRun, public ::testing::WithParamInterface<FaultCase> {
  protected:
    Replay() {
        // The fixture's own controller is not used: each run has its own.
        controller->invalidate();
        platform->shutdown();
    }

    qrbtrace::Trace traceOf(const std::string& path) { return qrbtrace::readTraceFile(path); }

    std::optional<std::string> runAgainst(qrbsim::BoardSimulator& board, bool waits) {
        DesktopRun run(resources.path().string());
        return run.run(board.slavePath(), waits ? &board : nullptr);
    }
};

TEST_P(Replay, TheTraceOfAFailedUpdateReplaysIntoTheSameFailureAtTheSameStep) {
    const FaultCase& c = GetParam();
    qrbsim::BoardSimulator& faulty = board({c.fault});
    const auto first = runAgainst(faulty, c.waits);
    ASSERT_TRUE(first);
    const qrbtrace::Trace recorded = traceOf(*first);
    ASSERT_TRUE(recorded.header.failure);
    EXPECT_EQ(recorded.header.failure->name, c.error);
    EXPECT_EQ(recorded.header.failure->step, c.step);
    EXPECT_EQ(recorded.header.board, "QRB00042");
    EXPECT_EQ(recorded.header.tty, faulty.slavePath());
    EXPECT_EQ(recorded.header.imageVersion, "1.2.3");
    EXPECT_EQ(recorded.header.imageSha256.size(), 64u);
    EXPECT_TRUE(
        std::filesystem::path(*first).parent_path().string().ends_with("qrb-updater/traces"));

    qrbsim::ReplayBoard replay(recorded);
    replay.start();
    std::optional<std::string> second;
    {
        DesktopRun run(resources.path().string());
        second = run.run(replay.slavePath(), nullptr);
    }
    ASSERT_TRUE(second);
    EXPECT_NE(replay.state(), qrbsim::ReplayBoard::State::Departed) << replay.departure();
    const qrbtrace::Trace replayed = traceOf(*second);
    ASSERT_TRUE(replayed.header.failure);
    EXPECT_EQ(replayed.header.failure->name, c.error);
    EXPECT_EQ(replayed.header.failure->step, c.step);
    EXPECT_EQ(replayed.header.failure->reason, recorded.header.failure->reason);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Replay,
    ::testing::Values(
        FaultCase{"answer:0x04=0x15", "SealingError", "Sealing the flash\u2026"},
        FaultCase{"answer:0x02=0x15/resident", "ProgrammingUnknownError",
                  "Downloading the bootloader\u2026"},
        FaultCase{"corrupt-checksum:2/ram", "ProgrammingChecksumError",
                  "Programming the flash\u2026"},
        FaultCase{"silent@verify/ram", "SerialCommReceiveError", "Verifying the flash\u2026", true},
        FaultCase{"hangup@unseal", "SerialCommReceiveError", "Unsealing the flash\u2026"},
        // Unplugged in the middle of the transfer, once a block's words are
        // in: the host waits for the checksum. (A count of bytes instead
        // would fall while the host is writing one run and waiting in the
        // next, and the failure's name would depend on which.)
        FaultCase{"hangup@block/ram", "SerialCommReceiveError", "Programming the flash\u2026"},
        FaultCase{"answer:0x05=0x15", "VersionInfoError", "Reading the firmware version"}),
    [](const auto& caseInfo) {
        std::string name;
        for (const char ch : caseInfo.param.fault) {
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

class ReplayProgram : public Replay {};

TEST_F(ReplayProgram, AgainstAnotherImageSaysWhereTheExchangeDepartedFromTheRecording) {
    qrbsim::BoardSimulator& faulty = board({"answer:0x04=0x15"});
    const auto first = runAgainst(faulty, false);
    ASSERT_TRUE(first);

    // The same update with a firmware image whose second record differs.
    std::vector<DataRecord> other = firmwareRecords();
    other[1].data[3] ^= 0xFF;
    useImages(imageFile(ramBootloaderRecords()), imageFile(other));
    // qrb-sim's first line is the device it plays the recording on.
    ChildProcess sim(QRB_SIM_PROGRAM, {"--replay", *first});
    const std::string tty = sim.nextLine().value_or("");
    ASSERT_FALSE(tty.empty());
    std::optional<std::string> second;
    {
        DesktopRun run(resources.path().string());
        second = run.run(tty, nullptr);
    }
    EXPECT_EQ(sim.finish(10s), 3);
    const std::string said = sim.errors();
    EXPECT_THAT(said, HasSubstr("the exchange departed from the recording at host byte "));
    EXPECT_THAT(said, HasSubstr("in \"Programming the flash\u2026\"): the host sent 0x"));
    ASSERT_TRUE(second);
    const auto replayed = qrbtrace::readTraceFile(*second);
    ASSERT_TRUE(replayed.header.failure);
    EXPECT_EQ(replayed.header.failure->step, "Programming the flash\u2026")
        << "the line went away where the exchange departed";
}

TEST_F(ReplayProgram, RefusesATraceCutShortOrGarbledNamingTheLine) {
    qrbsim::BoardSimulator& faulty = board({"answer:0x04=0x15"});
    const auto first = runAgainst(faulty, false);
    ASSERT_TRUE(first);
    std::ifstream in(*first);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_GT(lines.size(), 20u);
    // The first burst the host sent gets two more characters.
    size_t burst = 0;
    while (burst < lines.size() && lines[burst].find(" > ") == std::string::npos) {
        ++burst;
    }
    ASSERT_LT(burst, lines.size());
    std::string garbled;
    for (size_t i = 0; i < lines.size(); ++i) {
        garbled += (i == burst ? lines[i] + "zz" : lines[i]) + "\n";
    }
    std::string cut;
    for (size_t i = 0; i + 5 < lines.size(); ++i) {
        cut += lines[i] + "\n";
    }
    for (const auto& [name, text, line] :
         {std::tuple{"garbled", garbled, burst + 1}, std::tuple{"cut", cut, lines.size() - 4}}) {
        const std::string path = resources.writeFile(std::string(name) + ".qrbtrace", text);
        ChildProcess sim(QRB_SIM_PROGRAM, {"--replay", path});
        EXPECT_EQ(sim.finish(10s), 2) << name;
        EXPECT_THAT(sim.errors(), HasSubstr(path + ": line " + std::to_string(line) + ": "))
            << name;
    }
}

} // namespace
} // namespace reliability
