// The station's command line and its lines, in process: usage errors, the
// configuration's proof, and the JSON lines read back by a JSON parser.

#include "StationCommand.h"
#include "StationEvents.h"

#include "ImageWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <sstream>

namespace {

using nlohmann::json;

struct Invocation {
    int code = 0;
    std::string out;
    std::string err;
};

Invocation station(const std::vector<std::string>& args,
                   const std::string& configuration = "/nonexistent") {
    std::ostringstream out;
    std::ostringstream err;
    Invocation run;
    run.code = runStationCommand(args, configuration, out, err);
    run.out = out.str();
    run.err = err.str();
    return run;
}

TEST(StationCommand, UsageErrorsAreExit64WithOneLineAndAHint) {
    const std::vector<std::vector<std::string>> wrong = {
        {"--bogus"},         {"--jobs", "0"},   {"--jobs", "two"}, {"--jobs"},
        {"--port"},          {"--config"},      {"--json=yes"},    {"frobnicate"},
        {"list", "--watch"}, {"list", "extra"}, {"--jobs=-1"},     {"--port", ""},
    };
    for (const auto& args : wrong) {
        const Invocation run = station(args);
        EXPECT_EQ(run.code, kExitUsage) << args[0];
        EXPECT_TRUE(run.out.empty()) << args[0];
        EXPECT_TRUE(run.err.starts_with("qrb-flash: ")) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
}

TEST(StationCommand, HelpAndVersionGoToStandardOutput) {
    const Invocation help = station({"--help"});
    EXPECT_EQ(help.code, kExitOk);
    for (const char* option : {"--json", "--config", "--allow-reinstall", "--allow-older", "--jobs",
                               "--port", "--watch", "list", "78"}) {
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    }
    const Invocation version = station({"--version"});
    EXPECT_EQ(version.code, kExitOk);
    EXPECT_TRUE(version.out.starts_with("qrb-flash ")) << version.out;
}

TEST(StationCommand, ABrokenConfigurationOrImageIsExit78WithOneLine) {
    testing_support::TempDir dir;
    const std::string plist = (dir.path() / "QRB_Image.plist").string();
    std::filesystem::copy_file(std::string(QRB_SOURCE_RESOURCE_DIR) + "/QRB_Image.plist", plist);
    const auto good = SimpleCodeImageBuilder()
                          .addDataRecord(0x400000, std::vector<uint8_t>(40, 7))
                          .addEndRecord()
                          .bytes();
    dir.writeFile("QRB_RAM_Bootloader.sc", good);

    // The firmware image is missing, then cut short, then of another format.
    const std::vector<std::pair<std::vector<uint8_t>, std::string>> images = {
        {{}, "FileNotFoundError"},
        {std::vector<uint8_t>(good.begin(), good.end() - 3), "UnexpectedEOFError"},
        {std::vector<uint8_t>(20, 0x41), "FileFormatError"},
    };
    for (const auto& [bytes, error] : images) {
        if (!bytes.empty()) {
            dir.writeFile("QRB_Firmware.sc", bytes);
        }
        const Invocation run = station({"--json", "--config", plist});
        EXPECT_EQ(run.code, kExitConfiguration) << error;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find(error), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }

    dir.writeFile("QRB_Image.plist", std::string("not a property list"));
    const Invocation broken = station({"--config", plist});
    EXPECT_EQ(broken.code, kExitConfiguration);
    EXPECT_NE(broken.err.find(plist), std::string::npos) << broken.err;
}

TEST(StationEvents, ResultLinesCarryOnlyTheirKeysAndReadBack) {
    BoardOutcome failed;
    failed.identity = {"/dev/ttyUSB1", "pci-0000:00:14.0-usb-0:2:1.0", "QRB00043"};
    failed.from = "1.2.2";
    failed.result = BoardResult::Failed;
    failed.error = "SealingError";
    failed.reason = "Error sealing the flash (21).";
    failed.step = "Sealing the flash\u2026";
    failed.seconds = 11.94;
    failed.to = "1.2.3";
    const json line = json::parse(resultEvent(failed));
    EXPECT_EQ(line, json::parse(R"({"event":"result","tty":"/dev/ttyUSB1",
        "port":"pci-0000:00:14.0-usb-0:2:1.0","serial":"QRB00043","result":"failed",
        "from":"1.2.2","error":"SealingError","reason":"Error sealing the flash (21).",
        "step":"Sealing the flash\u2026","seconds":11.9})"));
    EXPECT_TRUE(resultEvent(failed).starts_with(R"({"event":"result",)"));

    BoardOutcome updated = failed;
    updated.result = BoardResult::Updated;
    updated.from.reset(); // corrupt firmware: no version
    const json done = json::parse(resultEvent(updated));
    EXPECT_FALSE(done.contains("from"));
    EXPECT_FALSE(done.contains("error"));
    EXPECT_FALSE(done.contains("step"));
    EXPECT_EQ(done["to"], "1.2.3");

    const std::optional<BoardOutcome> back = parseResultEvent(resultEvent(failed));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->identity, failed.identity);
    EXPECT_EQ(back->error, failed.error);
    EXPECT_EQ(back->step, failed.step);
    EXPECT_FALSE(parseResultEvent(R"({"event":"progress"})"));
    EXPECT_FALSE(parseResultEvent("{not json"));

    // Text that is not UTF-8 (a tty name) still makes one valid line.
    BoardOutcome odd = updated;
    odd.identity.tty = "/dev/tty\xff";
    EXPECT_FALSE(json::parse(resultEvent(odd), nullptr, false).is_discarded());
}

TEST(StationEvents, SummaryCountsEachResult) {
    StationTally tally;
    for (BoardResult result :
         {BoardResult::Updated, BoardResult::Failed, BoardResult::Updated, BoardResult::Skipped}) {
        tally.count(result);
    }
    EXPECT_EQ(json::parse(summaryEvent(tally, 12.63)),
              json::parse(R"({"event":"summary","updated":2,"current":0,"skipped":1,"failed":1,
                              "seconds":12.6})"));
}

} // namespace
