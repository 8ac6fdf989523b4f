// The station's serial traces: a failed board leaves one, and the trace
// replayed by `qrb-sim --replay` against `qrb-flash --port` brings the same
// failure at the same step, for each kind of fault the simulated board can
// commit; a replay against another image departs; `qrb-flash trace show`
// reads it and refuses a broken one, naming the line.

#include "BoardSimulator.h"
#include "ChildProcess.h"
#include "ImageConfiguration.h"
#include "ImageWriter.h"
#include "JsonSchemaCheck.h"
#include "TempDir.h"
#include "TraceFormat.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;
using testing_support::ChildProcess;
namespace fs = std::filesystem;

constexpr uint32_t kOlder = 0x00020201; // 1.2.2; the image is 1.2.3

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 3));
    }
    return bytes;
}

struct FaultCase {
    std::string fault;
    std::string error;
    std::string step;         // the trace's step
    bool stepInResult = true; // the result line names the step too (update steps only)
    bool waits = false;       // the board keeps the station waiting until it is unplugged
};

void PrintTo(const FaultCase& c, std::ostream* out) {
    *out << c.fault;
}

class StationTrace : public ::testing::Test {
  protected:
    StationTrace() {
        testing_support::writeImageConfiguration(resources);
        resources.writeFile("QRB_RAM_Bootloader.sc",
                            SimpleCodeImageBuilder()
                                .addDataRecord(qrbsim::kRamBase, pattern(40, 3))
                                .addEndRecord()
                                .bytes());
        useFirmware(pattern(64, 0x11));
    }

    void useFirmware(const std::vector<uint8_t>& data) {
        resources.writeFile("QRB_Firmware.sc", SimpleCodeImageBuilder()
                                                   .addDataRecord(0x0000, data)
                                                   .addDataRecord(0x1002, pattern(7, 0x52))
                                                   .addEndRecord()
                                                   .bytes());
    }

    std::unique_ptr<qrbsim::BoardSimulator> board(const std::string& fault) {
        qrbsim::SimulatorConfig config;
        config.versionWord = kOlder;
        config.blockWords = 4;
        config.flashSize = 64 * 1024;
        config.ramSize = 64 * 1024;
        config.leadingWordWait = 200ms; // a loaded machine may hold the host up
        if (!fault.empty()) {
            config.faults.push_back(qrbsim::parseFault(fault));
        }
        auto simulated = std::make_unique<qrbsim::BoardSimulator>(config);
        simulated->start();
        return simulated;
    }

    // qrb-flash --port tty until it ends: its result line.
    json flash(const std::string& tty, const std::vector<std::string>& extra = {},
               const std::function<void()>& whileRunning = {}) {
        std::vector<std::string> args{"--json", "--port", tty, "--config",
                                      (resources.path() / "QRB_Image.plist").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        ChildProcess station(QRB_FLASH, args, inState());
        if (whileRunning) {
            whileRunning();
        }
        EXPECT_TRUE(station.finish(60s)) << "qrb-flash did not end";
        json result;
        std::istringstream lines(station.output());
        std::vector<std::string> read;
        for (std::string line; std::getline(lines, line);) {
            read.push_back(line);
            json event = json::parse(line, nullptr, false);
            if (event.is_object() && event.value("event", "") == "result") {
                result = event;
            }
        }
        EXPECT_EQ(testing_support::schemaViolations(read, testing_support::JsonSchema::Events), "");
        return result;
    }

    // A program's run in the test's state directory (XDG_STATE_HOME).
    testing_support::ChildOptions inState() const {
        return {.environment = {{"XDG_STATE_HOME", state.path().string()}}};
    }

    // The traces written so far, oldest first.
    std::vector<fs::path> traces() const {
        std::vector<fs::path> found;
        const fs::path dir = state.path() / "qrb-updater" / "traces";
        if (fs::is_directory(dir)) {
            for (const auto& entry : fs::directory_iterator(dir)) {
                found.push_back(entry.path());
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    // Runs the station against a board with fault and returns its trace.
    std::optional<fs::path> failOnce(const FaultCase& c, json& result) {
        auto faulty = board(c.fault);
        result = flash(faulty->slavePath(), {}, [&] {
            if (c.waits) {
                std::this_thread::sleep_for(2s); // waiting for the silent board
                faulty->unplug();
            }
        });
        const auto written = traces();
        if (written.size() != 1) {
            ADD_FAILURE() << written.size() << " traces written";
            return std::nullopt;
        }
        return written.front();
    }

    testing_support::TempDir resources;
    testing_support::TempDir state;
};

class StationReplay : public StationTrace, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StationReplay, TheFailedBoardsTraceReplaysIntoTheSameFailureAtTheSameStep) {
    const FaultCase& c = GetParam();
    json first;
    const auto trace = failOnce(c, first);
    ASSERT_TRUE(trace);
    EXPECT_EQ(first.value("result", ""), "failed") << first;
    EXPECT_EQ(first.value("error", ""), c.error) << first;
    EXPECT_EQ(first.value("step", ""), c.stepInResult ? c.step : "") << first;
    EXPECT_EQ(trace->extension(), ".qrbtrace");
    EXPECT_THAT(trace->filename().string(), HasSubstr("Z-unknown.qrbtrace"))
        << "a pty has no serial";
    const qrbtrace::Trace recorded = qrbtrace::readTraceFile(trace->string());
    ASSERT_TRUE(recorded.header.failure);
    EXPECT_EQ(recorded.header.program, "qrb-flash");
    EXPECT_EQ(recorded.header.failure->name, c.error);
    EXPECT_EQ(recorded.header.failure->step, c.step);

    ChildProcess replay(QRB_SIM_PROGRAM, {"--replay", trace->string()}, inState());
    const std::optional<std::string> tty = replay.nextLine();
    ASSERT_TRUE(tty);
    const json second = flash(*tty);
    EXPECT_EQ(second.value("result", ""), "failed") << second;
    EXPECT_EQ(second.value("error", ""), first.value("error", "")) << second;
    EXPECT_EQ(second.value("step", ""), first.value("step", "")) << second;
    EXPECT_EQ(second.value("reason", ""), first.value("reason", "")) << second;
    const auto written = traces();
    ASSERT_EQ(written.size(), 2u);
    const qrbtrace::Trace replayed = qrbtrace::readTraceFile(written.back().string());
    ASSERT_TRUE(replayed.header.failure);
    EXPECT_EQ(replayed.header.failure->name, c.error);
    EXPECT_EQ(replayed.header.failure->step, c.step);
    EXPECT_EQ(replay.stop(), 0) << replay.errors();
    EXPECT_THAT(replay.output(), HasSubstr("no departure"));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StationReplay,
    ::testing::Values(
        FaultCase{"answer:0x04=0x15", "SealingError", "Sealing the flash\u2026"},
        FaultCase{"corrupt-checksum:2/ram", "ProgrammingChecksumError",
                  "Programming the flash\u2026"},
        FaultCase{"silent@verify/ram", "SerialCommReceiveError", "Verifying the flash\u2026", true,
                  true},
        FaultCase{"hangup@unseal", "SerialCommReceiveError", "Unsealing the flash\u2026"},
        FaultCase{"answer:0x05=0x15", "VersionInfoError", "Reading the firmware version", false}),
    [](const auto& caseInfo) {
        std::string name;
        for (const char ch : caseInfo.param.fault) {
            name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
        }
        return name;
    });

TEST_F(StationTrace, AReplayAgainstAnotherImageSaysWhereItDeparted) {
    json first;
    const auto trace =
        failOnce({"answer:0x04=0x15", "SealingError", "Sealing the flash\u2026"}, first);
    ASSERT_TRUE(trace);
    std::vector<uint8_t> other = pattern(64, 0x11);
    other[40] ^= 0x01;
    useFirmware(other);
    ChildProcess replay(QRB_SIM_PROGRAM, {"--replay", trace->string()}, inState());
    const std::optional<std::string> tty = replay.nextLine();
    ASSERT_TRUE(tty);
    const json second = flash(*tty);
    EXPECT_EQ(second.value("result", ""), "failed");
    EXPECT_EQ(replay.finish(10s), 3);
    EXPECT_THAT(replay.errors(), HasSubstr("qrb-sim: the exchange departed from the recording at "
                                           "host byte "));
    EXPECT_THAT(replay.errors(), HasSubstr("\"Programming the flash\u2026\"): the host sent 0x"));
}

TEST_F(StationTrace, TraceShowReadsItAndRefusesABrokenOneNamingTheLine) {
    json first;
    const auto trace =
        failOnce({"answer:0x04=0x15", "SealingError", "Sealing the flash\u2026"}, first);
    ASSERT_TRUE(trace);
    {
        ChildProcess show(QRB_FLASH, {"trace", "show", trace->string()}, inState());
        EXPECT_EQ(show.finish(20s), 0);
        EXPECT_THAT(show.output(), HasSubstr("seal (04) with 1.2.3 -> 15: refused"));
        EXPECT_THAT(show.output(), HasSubstr("<-- SealingError"));
        EXPECT_THAT(show.output(),
                    HasSubstr("Failed here: SealingError in \"Sealing the flash\u2026\""));
    }
    std::ifstream in(*trace);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const fs::path cut = resources.path() / "cut.qrbtrace";
    std::ofstream(cut) << text.substr(0, text.size() - 30);
    ChildProcess show(QRB_FLASH, {"trace", "show", cut.string()}, inState());
    EXPECT_EQ(show.finish(20s), 1);
    EXPECT_THAT(show.errors(), HasSubstr(cut.string() + ": line "));
    ChildProcess usage(QRB_FLASH, {"trace", "list"}, inState());
    EXPECT_EQ(usage.finish(20s), 64);
}

TEST_F(StationTrace, WithTraceASuccessfulBoardLeavesOneToo) {
    auto sound = board("");
    const json result = flash(sound->slavePath(), {"--trace"});
    EXPECT_EQ(result.value("result", ""), "updated") << result;
    const auto written = traces();
    ASSERT_EQ(written.size(), 1u);
    const qrbtrace::Trace trace = qrbtrace::readTraceFile(written.front().string());
    EXPECT_FALSE(trace.header.failure);
    EXPECT_GT(trace.events.size(), 20u);
    // Without it, none.
    auto another = board("");
    EXPECT_EQ(flash(another->slavePath()).value("result", ""), "updated");
    EXPECT_EQ(traces().size(), 1u);
}

} // namespace
