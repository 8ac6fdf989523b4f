#pragma once

// qrb-flash running in a process of its own, as its users run it: its
// standard output read line by line, and every line read as JSON held to
// the installed schema; and the boards it finds, simulated behind emulated
// USB adapters in a umockdev testbed.

#include "BoardSimulator.h"
#include "ChildProcess.h"
#include "EmulatedAdapter.h"
#include "ImageWriter.h"
#include "JsonSchemaCheck.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace station_testing {

class StationProcess {
  public:
    // The program leads a process group of its own, as a shell's job does;
    // its standard error is the test's own (or options.errorsFile), never
    // read. With QRB_FLASH_DEBUG set it runs under gdb.
    explicit StationProcess(std::vector<std::string> args,
                            testing_support::ChildOptions options = {})
        : process_(debugging() ? "/usr/bin/gdb" : QRB_FLASH, underDebugger(std::move(args)),
                   asJob(std::move(options))) {}
    ~StationProcess() {
        // Every JSON line read keeps the installed schema's promise.
        EXPECT_EQ(testing_support::schemaViolations(jsonLines, schema), "");
    }

    // The next line, or none at the end or after limit.
    std::optional<std::string>
    nextLine(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        std::optional<std::string> line = process_.nextLine(limit);
        if (line) {
            lines.push_back(*line);
        }
        return line;
    }
    // The next JSON object; fails the test on a line that is not one.
    std::optional<nlohmann::json>
    nextEvent(std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        const std::optional<std::string> line = nextLine(limit);
        if (!line) {
            return std::nullopt;
        }
        nlohmann::json event = nlohmann::json::parse(*line, nullptr, false);
        EXPECT_TRUE(!event.is_discarded() && event.is_object()) << "not a JSON object: " << *line;
        jsonLines.push_back(*line);
        return event;
    }
    // Every remaining event, up to the end of the output.
    std::vector<nlohmann::json>
    remainingEvents(std::chrono::milliseconds limit = std::chrono::seconds(90)) {
        return remaining<nlohmann::json>(limit, [this](auto left) { return nextEvent(left); });
    }
    // Every remaining line, up to the end of the output (in lines too).
    std::vector<std::string>
    remainingLines(std::chrono::milliseconds limit = std::chrono::seconds(90)) {
        return remaining<std::string>(limit, [this](auto left) { return nextLine(left); });
    }
    // Its exit status once it has ended (128 + signal); -1 when it runs on
    // for another minute.
    int wait() { return process_.finish(std::chrono::seconds(60)).value_or(-1); }
    void signal(int number) const { process_.signal(number); }
    // A signal to the whole process group, as a terminal sends it.
    void signalGroup(int number) const { process_.signalGroup(number); }
    pid_t pid() const { return process_.pid(); }

    std::vector<std::string> lines;
    // The lines read as JSON objects, and the schema they are checked against.
    std::vector<std::string> jsonLines;
    testing_support::JsonSchema schema = testing_support::JsonSchema::Events;

  private:
    static bool debugging() { return std::getenv("QRB_FLASH_DEBUG") != nullptr; }
    static std::vector<std::string> underDebugger(std::vector<std::string> args) {
        if (debugging()) {
            args.insert(args.begin(), {"-batch", "-ex", "run", "-ex", "bt", "--args", QRB_FLASH});
        }
        return args;
    }
    static testing_support::ChildOptions asJob(testing_support::ChildOptions options) {
        options.readErrors = false;
        options.ownProcessGroup = true;
        return options;
    }
    // What next(time left) gives until it gives nothing.
    template <typename Item, typename Next>
    static std::vector<Item> remaining(std::chrono::milliseconds limit, Next next) {
        std::vector<Item> all;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (auto item = next(std::chrono::duration_cast<std::chrono::milliseconds>(
                   end - std::chrono::steady_clock::now()))) {
            all.push_back(*item);
        }
        return all;
    }

    testing_support::ChildProcess process_;
};

constexpr uint32_t kOlder = 0x00020201; // 1.2.2
constexpr uint32_t kSame = 0x00030201;  // 1.2.3, the image's
constexpr uint32_t kNewer = 0x00000102; // 2.1.0

inline std::vector<uint8_t> pattern(std::size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
    }
    return bytes;
}

// The installed update configuration with images of its own (firmware
// 1.2.3), and boards on emulated adapters. Runs under umockdev-wrapper.
class StationOnEmulatedAdapters : public ::testing::Test {
  protected:
    StationOnEmulatedAdapters() {
        std::filesystem::copy_file(std::string(QRB_SOURCE_RESOURCE_DIR) + "/QRB_Image.plist",
                                   resources.path() / "QRB_Image.plist");
        resources.writeFile("QRB_RAM_Bootloader.sc",
                            SimpleCodeImageBuilder()
                                .addDataRecord(qrbsim::kRamBase, pattern(301, 1))
                                .addEndRecord()
                                .bytes());
        firmware = pattern(6000, 2);
        resources.writeFile(
            "QRB_Firmware.sc",
            SimpleCodeImageBuilder().addDataRecord(0x0000, firmware).addEndRecord().bytes());
    }
    ~StationOnEmulatedAdapters() override {
        for (auto& board : boards) {
            board->stop();
        }
    }

    std::string configuration() const { return (resources.path() / "QRB_Image.plist").string(); }

    // A started board on a new emulated adapter (ttyUSB<n>, serial QRB0010<n>,
    // USB port 1-<n+1>), plugged in unless told otherwise.
    qrbsim::BoardSimulator& board(uint32_t versionWord, std::vector<std::string> faults = {},
                                  bool plugIn = true, std::optional<std::string> serial = {}) {
        const std::size_t n = boards.size();
        qrbsim::SimulatorConfig config;
        config.versionWord = versionWord;
        config.pace = pace;
        for (const std::string& fault : faults) {
            config.faults.push_back(qrbsim::parseFault(fault));
        }
        boards.push_back(std::make_unique<qrbsim::BoardSimulator>(config));
        boards.back()->start();
        adapters.push_back(std::make_unique<qrbsim::EmulatedAdapter>(
            testbed,
            qrbsim::qrbAdapter(serial.value_or("QRB0010" + std::to_string(n)),
                               "ttyUSB" + std::to_string(n), "1-" + std::to_string(n + 1))));
        adapters.back()->allowExclusiveOpen();
        if (plugIn) {
            plug(n);
        }
        return *boards.back();
    }
    // Plugs the n-th adapter in, its tty leading to the n-th board.
    void plug(std::size_t n) {
        adapters[n]->plugIn();
        const std::filesystem::path node = testbed.rootDir() + adapters[n]->deviceNode();
        std::filesystem::remove(node);
        std::filesystem::create_symlink(boards[n]->slavePath(), node);
    }

    testing_support::TempDir resources;
    qrbsim::UmockdevTestbed testbed; // before anything uses udev
    std::vector<std::unique_ptr<qrbsim::BoardSimulator>> boards;
    std::vector<std::unique_ptr<qrbsim::EmulatedAdapter>> adapters;
    std::vector<uint8_t> firmware;
    bool pace = false;
};

} // namespace station_testing
