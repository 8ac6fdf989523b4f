// The station's serial traces: a failed board leaves one, and the trace
// replayed by `qrb-sim --replay` against `qrb-flash --port` brings the same
// failure at the same step, for each kind of fault the simulated board can
// commit; a replay against another image departs; `qrb-flash trace show`
// reads it and refuses a broken one, naming the line.

#include "BoardSimulator.h"
#include "ImageWriter.h"
#include "JsonSchemaCheck.h"
#include "TempDir.h"
#include "TraceFormat.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr uint32_t kOlder = 0x00020201; // 1.2.2; the image is 1.2.3

// A program run with its standard output and standard error read.
class Program {
  public:
    Program(const std::string& path, const std::vector<std::string>& args,
            const std::string& stateHome) {
        int out[2];
        int err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<std::string> argv{path};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            ::setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
            std::vector<char*> pointers;
            for (std::string& arg : argv) {
                pointers.push_back(arg.data());
            }
            pointers.push_back(nullptr);
            ::execv(pointers[0], pointers.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    ~Program() {
        if (!status_) {
            ::kill(pid_, SIGTERM);
            (void)finish(10s);
        }
        ::close(out_);
        ::close(err_);
    }

    std::optional<std::string> line(std::chrono::milliseconds limit = 30s) {
        const auto end = Clock::now() + limit;
        for (;;) {
            const auto newline = outText_.find('\n');
            if (newline != std::string::npos) {
                std::string first = outText_.substr(0, newline);
                outText_.erase(0, newline + 1);
                return first;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0 || !pump(out_, outText_, left)) {
                return std::nullopt;
            }
        }
    }
    // Waits for the end (at most limit): the exit status, the rest of the output.
    std::optional<int> finish(std::chrono::milliseconds limit) {
        if (status_) {
            return status_;
        }
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            while (pump(out_, outText_, 0ms) || pump(err_, errText_, 0ms)) {
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                while (pump(out_, outText_, 0ms) || pump(err_, errText_, 0ms)) {
                }
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }
    // Ends it with SIGTERM: its exit status.
    std::optional<int> stop() {
        if (!status_) {
            ::kill(pid_, SIGTERM);
        }
        return finish(10s);
    }
    const std::string& output() const { return outText_; }
    const std::string& errors() const { return errText_; }

  private:
    static bool pump(int fd, std::string& into, std::chrono::milliseconds limit) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(limit.count())) <= 0) {
            return false;
        }
        char chunk[4096];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return false;
        }
        into.append(chunk, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
    std::optional<int> status_;
};

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
        resources.writeFile(
            "QRB_Image.plist",
            std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                        "version=\"1.0\">\n<dict>\n"
                        "<key>QRB_FW_Image_Version_Major</key><integer>1</integer>\n"
                        "<key>QRB_FW_Image_Version_Minor</key><integer>2</integer>\n"
                        "<key>QRB_FW_Image_Version_Revision</key><integer>3</integer>\n"
                        "<key>QRB_FW_Image_File_Path</key><string>QRB_Firmware.sc</string>\n"
                        "<key>RAM_Bootloader_Path</key><string>QRB_RAM_Bootloader.sc</string>\n"
                        "</dict>\n</plist>\n"));
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
        Program station(QRB_FLASH, args, state.path().string());
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

    Program replay(QRB_SIM_PROGRAM, {"--replay", trace->string()}, state.path().string());
    const std::optional<std::string> tty = replay.line();
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
    Program replay(QRB_SIM_PROGRAM, {"--replay", trace->string()}, state.path().string());
    const std::optional<std::string> tty = replay.line();
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
        Program show(QRB_FLASH, {"trace", "show", trace->string()}, state.path().string());
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
    Program show(QRB_FLASH, {"trace", "show", cut.string()}, state.path().string());
    EXPECT_EQ(show.finish(20s), 1);
    EXPECT_THAT(show.errors(), HasSubstr(cut.string() + ": line "));
    Program usage(QRB_FLASH, {"trace", "list"}, state.path().string());
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
