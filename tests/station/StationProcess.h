#pragma once

// qrb-flash running in a process of its own, as its users run it: its
// standard output read line by line, and every line read as JSON held to
// the installed schema.

#include "ChildProcess.h"
#include "JsonSchemaCheck.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdlib>
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
        std::vector<nlohmann::json> events;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::optional<nlohmann::json> event = nextEvent(left(end))) {
            events.push_back(*event);
        }
        return events;
    }
    // Every remaining line, up to the end of the output (in lines too).
    std::vector<std::string>
    remainingLines(std::chrono::milliseconds limit = std::chrono::seconds(90)) {
        std::vector<std::string> read;
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::optional<std::string> line = nextLine(left(end))) {
            read.push_back(*line);
        }
        return read;
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
    static std::chrono::milliseconds left(std::chrono::steady_clock::time_point end) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
    }

    testing_support::ChildProcess process_;
};

} // namespace station_testing
