// The station as its users run it: the qrb-flash program in a process of its
// own, on emulated USB adapters in a umockdev testbed (each tty leading to a
// board simulator of this process), its JSON lines read by a JSON parser.
// Runs under umockdev-wrapper.

#include "BoardSimulator.h"
#include "EmulatedAdapter.h"
#include "FileDigest.h"
#include "ImageWriter.h"
#include "JsonSchemaCheck.h"
#include "StationProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using qrbsim::BoardSimulator;
using qrbsim::SimulatorConfig;
using namespace station_testing;
using Clock = std::chrono::steady_clock;

// The children of a process (the station's board processes).
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        int ppid = 0;
        if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
            children.push_back(std::stoi(name));
        }
    }
    return children;
}

class StationEndToEnd : public StationOnEmulatedAdapters {
  protected:
    bool holdsFirmware(const BoardSimulator& simulated) const {
        return simulated.sealed() && simulated.versionWord() == kSame &&
               simulated.memory(0, firmware.size()) == firmware;
    }

    // The result events by tty.
    static std::map<std::string, json> results(const std::vector<json>& events) {
        std::map<std::string, json> byTty;
        for (const json& event : events) {
            if (event.value("event", "") == "result") {
                byTty[event.value("tty", "")] = event;
            }
        }
        return byTty;
    }

    // The rows of the update history at path, as `qrb-flash history --json`
    // prints them.
    static std::vector<json> historyRows(const std::string& path) {
        StationProcess reader({"--history", path, "history", "--json"});
        reader.schema = testing_support::JsonSchema::History;
        std::vector<json> rows = reader.remainingEvents(30s);
        EXPECT_EQ(reader.wait(), 0);
        return rows;
    }
};

TEST_F(StationEndToEnd, ThreeBoardsAtOnceAreUpdatedLeftCurrentAndSkipped) {
    BoardSimulator& older = board(kOlder);
    BoardSimulator& same = board(kSame);
    BoardSimulator& newer = board(kNewer);

    StationProcess station({"--json", "--config", configuration()});
    const std::vector<json> events = station.remainingEvents();
    EXPECT_EQ(station.wait(), 0);

    // Every board is named by tty, physical port and serial number.
    std::map<std::string, json> found;
    for (const json& event : events) {
        if (event["event"] == "found") {
            found[event["tty"]] = event;
        }
    }
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found["/dev/ttyUSB0"]["port"], "pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(found["/dev/ttyUSB0"]["serial"], "QRB00100");
    EXPECT_EQ(found["/dev/ttyUSB2"]["serial"], "QRB00102");

    auto byTty = results(events);
    ASSERT_EQ(byTty.size(), 3u);
    const json& updated = byTty["/dev/ttyUSB0"];
    EXPECT_EQ(updated["result"], "updated");
    EXPECT_EQ(updated["from"], "1.2.2");
    EXPECT_EQ(updated["to"], "1.2.3");
    EXPECT_EQ(updated["port"], "pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(updated["serial"], "QRB00100");
    EXPECT_FALSE(updated.contains("error"));
    EXPECT_EQ(byTty["/dev/ttyUSB1"]["result"], "current");
    EXPECT_EQ(byTty["/dev/ttyUSB1"]["from"], "1.2.3");
    EXPECT_EQ(byTty["/dev/ttyUSB2"]["result"], "skipped");
    EXPECT_EQ(byTty["/dev/ttyUSB2"]["from"], "2.1.0");

    // The version lines give the case; progress comes at most twice a second.
    std::map<std::string, std::string> cases;
    std::size_t progressLines = 0;
    for (const json& event : events) {
        if (event["event"] == "version") {
            cases[event["tty"]] = event["case"];
        }
        if (event["event"] == "progress") {
            EXPECT_EQ(event["tty"], "/dev/ttyUSB0");
            EXPECT_TRUE(event.contains("step") && event.contains("done")) << event;
            ++progressLines;
        }
    }
    EXPECT_EQ(cases,
              (std::map<std::string, std::string>{
                  {"/dev/ttyUSB0", "older"}, {"/dev/ttyUSB1", "same"}, {"/dev/ttyUSB2", "newer"}}));
    EXPECT_LE(progressLines, 2 * updated["seconds"].get<double>() + 2);

    ASSERT_FALSE(events.empty());
    const json& summary = events.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["updated"], 1);
    EXPECT_EQ(summary["current"], 1);
    EXPECT_EQ(summary["skipped"], 1);
    EXPECT_EQ(summary["failed"], 0);

    EXPECT_TRUE(holdsFirmware(older));
    // The boards left alone got the exit command and nothing else.
    EXPECT_EQ(same.bytesProgrammedFlash(), 0u);
    EXPECT_EQ(newer.bytesProgrammedFlash(), 0u);
    EXPECT_EQ(newer.versionWord(), kNewer);
}

TEST_F(StationEndToEnd, AllowOptionsUpdateTheSameAndTheNewerBoard) {
    BoardSimulator& same = board(kSame);
    BoardSimulator& newer = board(kNewer);
    StationProcess station({"--json", "--allow-reinstall", "--allow-older", "--jobs", "1",
                            "--config", configuration()});
    auto byTty = results(station.remainingEvents());
    EXPECT_EQ(station.wait(), 0);
    EXPECT_EQ(byTty["/dev/ttyUSB0"]["result"], "updated");
    EXPECT_EQ(byTty["/dev/ttyUSB1"]["result"], "updated");
    EXPECT_TRUE(holdsFirmware(same));
    EXPECT_TRUE(holdsFirmware(newer));
}

TEST_F(StationEndToEnd, ARefusedSealAndASilentBoardFailBesideHealthyOnesThatFinishAsFast) {
    // One healthy board alone, for its time.
    BoardSimulator& alone = board(kOlder);
    double aloneSeconds = 0;
    {
        StationProcess station({"--json", "--config", configuration()});
        auto byTty = results(station.remainingEvents());
        ASSERT_EQ(station.wait(), 0);
        aloneSeconds = byTty["/dev/ttyUSB0"]["seconds"].get<double>();
    }
    ASSERT_TRUE(holdsFirmware(alone));
    adapters[0]->unplug();

    BoardSimulator& healthy = board(kOlder);
    board(kOlder, {"answer:0x04=0x15"});
    board(kOlder, {"silent@program/ram"});
    BoardSimulator& healthy2 = board(0xFFFFFFFF);

    StationProcess station({"--json", "--config", configuration()});
    const std::vector<json> events = station.remainingEvents();
    EXPECT_EQ(station.wait(), 1);
    auto byTty = results(events);
    ASSERT_EQ(byTty.size(), 4u);
    EXPECT_EQ(byTty["/dev/ttyUSB1"]["result"], "updated");
    EXPECT_EQ(byTty["/dev/ttyUSB4"]["result"], "updated");
    EXPECT_FALSE(byTty["/dev/ttyUSB4"].contains("from")); // corrupt: no version to name
    const json& refused = byTty["/dev/ttyUSB2"];
    EXPECT_EQ(refused["result"], "failed");
    EXPECT_EQ(refused["from"], "1.2.2");
    EXPECT_EQ(refused["error"], "SealingError");
    EXPECT_EQ(refused["reason"], "Error sealing the flash (21).");
    EXPECT_EQ(refused["step"], "Sealing the flash\u2026");
    EXPECT_EQ(refused["serial"], "QRB00102");
    const json& silent = byTty["/dev/ttyUSB3"];
    EXPECT_EQ(silent["result"], "failed");
    EXPECT_EQ(silent["error"], "SerialCommTimeoutError");
    EXPECT_EQ(silent["step"], "Programming the flash\u2026");
    EXPECT_EQ(silent["port"], "pci-0000:00:14.0-usb-0:4:1.0");
    EXPECT_EQ(events.back()["failed"], 2);
    EXPECT_EQ(events.back()["updated"], 2);
    EXPECT_TRUE(holdsFirmware(healthy));
    EXPECT_TRUE(holdsFirmware(healthy2));
    // The failures cost the healthy boards nothing but a share of the CPU.
    for (const char* tty : {"/dev/ttyUSB1", "/dev/ttyUSB4"}) {
        EXPECT_LT(byTty[tty]["seconds"].get<double>(), 3 * aloneSeconds + 3.0) << tty;
    }
}

// Each board's process appends the board's row to the update history.
TEST_F(StationEndToEnd, EachBoardLeavesItsRowInTheHistory) {
    board(kOlder);
    board(kSame);
    board(kOlder, {"answer:0x04=0x15"});
    const std::string history = (resources.path() / "state" / "history.db").string();

    StationProcess station({"--json", "--history", history, "--config", configuration()});
    station.remainingEvents();
    EXPECT_EQ(station.wait(), 1);

    std::map<std::string, json> rows;
    for (const json& row : historyRows(history)) {
        rows[row["tty"]] = row;
    }
    ASSERT_EQ(rows.size(), 3u);
    const json& updated = rows["/dev/ttyUSB0"];
    EXPECT_EQ(updated["front"], "station");
    EXPECT_EQ(updated["port"], "pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(updated["serial"], "QRB00100");
    EXPECT_EQ(updated["from"], "1.2.2");
    EXPECT_EQ(updated["case"], "older");
    EXPECT_EQ(updated["to"], "1.2.3");
    EXPECT_EQ(updated["result"], "updated");
    EXPECT_EQ(updated["image_sha256"].get<std::string>().size(), 64u);
    EXPECT_GT(updated["seconds"].get<double>(), 0.0);
    EXPECT_EQ(rows["/dev/ttyUSB1"]["result"], "current");
    EXPECT_EQ(rows["/dev/ttyUSB1"]["case"], "same");
    const json& failed = rows["/dev/ttyUSB2"];
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_EQ(failed["error"], "SealingError");
    EXPECT_EQ(failed["reason"], "Error sealing the flash (21).");
    EXPECT_EQ(failed["step"], "Sealing the flash\u2026");
}

// An adapter whose serial number carries escape sequences (a window title,
// a screen clear, an 8-bit CSI): what reaches a person's terminal shows each
// control character as '?', in list, the result line, the history table and
// trace show; the JSON lines carry the serial number exactly.
TEST_F(StationEndToEnd, ASerialNumberWithEscapeSequencesReachesATerminalDefused) {
    const std::string serial = "QRB\x1b]0;owned\x07\x1b[2J\xc2\x9b"
                               "7m";
    const auto defused = [](const std::string& text) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                            (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
            if ((c < 0x20 && c != '\n') || c == 0x7F || c1) {
                return false;
            }
        }
        return text.find("owned") != std::string::npos;
    };
    board(kOlder, {"answer:0x04=0x15"}, true, serial);
    const std::string history = (resources.path() / "history.db").string();

    StationProcess list({"list"});
    list.remainingLines();
    EXPECT_EQ(list.wait(), 0);
    ASSERT_EQ(list.lines.size(), 1u);
    EXPECT_TRUE(defused(list.lines[0])) << list.lines[0];
    StationProcess listJson({"list", "--json"});
    const std::vector<json> found = listJson.remainingEvents();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0]["serial"], serial);

    StationProcess update({"--history", history, "--config", configuration()});
    update.remainingLines();
    EXPECT_EQ(update.wait(), 1);
    ASSERT_EQ(update.lines.size(), 2u);
    EXPECT_TRUE(defused(update.lines[0])) << update.lines[0];
    EXPECT_NE(update.lines[0].find("FAILED"), std::string::npos) << update.lines[0];

    const std::vector<json> rows = historyRows(history);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["serial"], serial);
    StationProcess table({"--history", history, "history"});
    table.remainingLines();
    EXPECT_EQ(table.wait(), 0);
    ASSERT_EQ(table.lines.size(), 2u);
    EXPECT_TRUE(defused(table.lines[1])) << table.lines[1];

    ASSERT_TRUE(rows[0].contains("trace"));
    StationProcess show({"trace", "show", rows[0]["trace"].get<std::string>()});
    show.remainingLines();
    EXPECT_EQ(show.wait(), 0);
    std::string shown;
    for (const std::string& line : show.lines) {
        shown += line + "\n";
    }
    EXPECT_TRUE(defused(shown)) << shown;
}

TEST_F(StationEndToEnd, AChildKilledIsReportedFailedWithItsSignal) {
    pace = true; // programming takes long enough to be caught at it
    BoardSimulator& victim = board(kOlder);
    const std::string history = (resources.path() / "history.db").string();
    StationProcess station({"--json", "--history", history, "--config", configuration()});
    for (;;) {
        const std::optional<json> event = station.nextEvent();
        ASSERT_TRUE(event) << "no programming step seen";
        if ((*event)["event"] == "progress") {
            break;
        }
    }
    const std::vector<pid_t> children = childrenOf(station.pid());
    ASSERT_EQ(children.size(), 1u);
    ::kill(children[0], SIGKILL);

    auto byTty = results(station.remainingEvents());
    EXPECT_EQ(station.wait(), 1);
    const json& failed = byTty["/dev/ttyUSB0"];
    EXPECT_EQ(failed["result"], "failed");
    EXPECT_EQ(failed["error"], "SignalError");
    EXPECT_NE(failed["reason"].get<std::string>().find("signal 9"), std::string::npos)
        << failed["reason"];
    EXPECT_TRUE(failed.contains("step"));
    EXPECT_FALSE(holdsFirmware(victim));
    // The child died before its row: the station wrote it.
    const std::vector<json> rows = historyRows(history);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["error"], "SignalError");
    EXPECT_EQ(rows[0]["step"], failed["step"]);
}

TEST_F(StationEndToEnd, WatchTakesBoardsAsTheyComeAndFinishesTheRunningOneOnSigint) {
    pace = true;
    BoardSimulator& first = board(kOlder, {}, false);
    BoardSimulator& second = board(kOlder, {}, false);
    StationProcess station({"--watch", "--json", "--config", configuration()});
    std::this_thread::sleep_for(300ms); // the station is watching

    plug(0);
    std::optional<json> event;
    while ((event = station.nextEvent()) && (*event)["event"] != "result") {
    }
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["result"], "updated");
    EXPECT_EQ((*event)["tty"], "/dev/ttyUSB0");

    // The second board is stopped for while it is programming: it finishes.
    plug(1);
    while ((event = station.nextEvent()) &&
           !((*event)["event"] == "progress" && (*event)["tty"] == "/dev/ttyUSB1")) {
    }
    ASSERT_TRUE(event) << "the second board did not start";
    station.signal(SIGINT);
    auto byTty = results(station.remainingEvents());
    EXPECT_EQ(station.wait(), 0);
    EXPECT_EQ(byTty["/dev/ttyUSB1"]["result"], "updated");
    EXPECT_TRUE(holdsFirmware(first));
    EXPECT_TRUE(holdsFirmware(second));
    // The first board, still plugged in, was not taken again.
    EXPECT_EQ(first.sealCommands(), 1u);
    ASSERT_FALSE(station.lines.empty());
    const json summary = json::parse(station.lines.back());
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["updated"], 2);
}

TEST_F(StationEndToEnd, ASecondSigintEndsAtOnceAndReportsTheBoardInterrupted) {
    pace = true;
    BoardSimulator& victim = board(kOlder);
    StationProcess station({"--watch", "--json", "--config", configuration()});
    std::optional<json> event;
    while ((event = station.nextEvent()) && (*event)["event"] != "progress") {
    }
    ASSERT_TRUE(event);
    station.signal(SIGINT);
    std::this_thread::sleep_for(100ms);
    station.signal(SIGINT);
    auto byTty = results(station.remainingEvents(20s));
    EXPECT_EQ(station.wait(), 1);
    EXPECT_EQ(byTty["/dev/ttyUSB0"]["result"], "failed");
    EXPECT_EQ(byTty["/dev/ttyUSB0"]["error"], "InterruptedError");
    EXPECT_FALSE(holdsFirmware(victim));
}

// A board unplugged while it is connecting ends as failed at once, under its
// own serial number and port. Another adapter to which the kernel gives the
// same tty, on another port, is a new board: updated under its own names.
TEST_F(StationEndToEnd, AnUnpluggedBoardEndsAtOnceAndAnotherAdapterOnItsTtyIsANewBoard) {
    board(kOlder, {"silent@sync"});
    SimulatorConfig config;
    config.versionWord = kOlder;
    boards.push_back(std::make_unique<BoardSimulator>(config));
    boards.back()->start();
    const std::string history = (resources.path() / "history.db").string();
    StationProcess station(
        {"--watch", "--json", "--history", history, "--config", configuration()});
    std::optional<json> event;
    while ((event = station.nextEvent()) && (*event)["event"] != "found") {
    }
    ASSERT_TRUE(event);
    std::this_thread::sleep_for(1s); // connecting, the board silent

    adapters[0]->unplug();
    const auto removed = Clock::now();
    while ((event = station.nextEvent(10s)) && (*event)["event"] != "result") {
    }
    ASSERT_TRUE(event) << "no result after the removal";
    EXPECT_LT(Clock::now() - removed, 2500ms) << "generous: 2 s from the removal";
    EXPECT_EQ((*event)["result"], "failed");
    EXPECT_EQ((*event)["serial"], "QRB00100");
    EXPECT_EQ((*event)["port"], "pci-0000:00:14.0-usb-0:1:1.0");

    // The kernel gives the tty to the next adapter, plugged in elsewhere.
    qrbsim::EmulatedAdapter other(testbed, qrbsim::qrbAdapter("QRB00199", "ttyUSB0", "1-9"));
    other.takeNodeOf(*adapters[0]);
    adapters[0].reset();
    other.allowExclusiveOpen();
    other.plugIn();
    const std::filesystem::path node = testbed.rootDir() + other.deviceNode();
    std::filesystem::remove(node);
    std::filesystem::create_symlink(boards[1]->slavePath(), node);
    while ((event = station.nextEvent()) && (*event)["event"] != "result") {
    }
    ASSERT_TRUE(event) << "the other adapter was not taken";
    EXPECT_EQ((*event)["result"], "updated");
    EXPECT_EQ((*event)["tty"], "/dev/ttyUSB0");
    EXPECT_EQ((*event)["serial"], "QRB00199");
    EXPECT_EQ((*event)["port"], "pci-0000:00:14.0-usb-0:9:1.0");
    EXPECT_TRUE(holdsFirmware(*boards[1]));
    station.signal(SIGTERM);
    station.remainingEvents();
    EXPECT_EQ(station.wait(), 1);

    std::map<std::string, json> rows;
    for (const json& row : historyRows(history)) {
        rows[row["serial"]] = row;
    }
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows["QRB00100"]["result"], "failed");
    EXPECT_EQ(rows["QRB00100"]["port"], "pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(rows["QRB00199"]["result"], "updated");
    EXPECT_EQ(rows["QRB00199"]["port"], "pci-0000:00:14.0-usb-0:9:1.0");
}

// What a closed terminal (SIGHUP) and Ctrl-C (SIGINT) send to the whole
// process group mid-flash: the board processes take no notice, every board
// finishes and has its row.
TEST_F(StationEndToEnd, HangupAndInterruptToTheProcessGroupCostNoBoard) {
    pace = true;
    for (const int signal : {SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        // Three new boards each time round.
        for (auto& adapter : adapters) {
            adapter->unplug();
        }
        std::vector<BoardSimulator*> round;
        for (int i = 0; i < 3; ++i) {
            round.push_back(&board(kOlder));
        }
        const std::string history =
            (resources.path() / ("history-" + std::to_string(signal) + ".db")).string();
        StationProcess station({"--json", "--history", history, "--config", configuration()});
        std::optional<json> event;
        while ((event = station.nextEvent()) &&
               !((*event)["event"] == "progress" &&
                 (*event)["step"] == "Programming the flash\u2026")) {
        }
        ASSERT_TRUE(event) << "no board was programming";
        station.signalGroup(signal);
        const std::vector<json> events = station.remainingEvents();
        EXPECT_EQ(station.wait(), 0);
        auto byTty = results(events);
        ASSERT_EQ(byTty.size(), 3u);
        for (const auto& [tty, result] : byTty) {
            EXPECT_EQ(result["result"], "updated") << tty;
        }
        for (const BoardSimulator* simulated : round) {
            EXPECT_TRUE(holdsFirmware(*simulated));
        }
        const std::vector<json> rows = historyRows(history);
        EXPECT_EQ(rows.size(), 3u);
        for (const json& row : rows) {
            EXPECT_EQ(row["result"], "updated");
        }
    }
}

// A stop while boards wait their turn: the running one finishes, each
// waiting one ends untouched, with its line and its row, and counts as
// failed. The station is started with the stopping signals blocked, as a
// careless parent may leave them: it still hears them.
TEST_F(StationEndToEnd, SigtermWithBoardsWaitingEndsEachOfThemUntouched) {
    pace = true;
    for (int i = 0; i < 3; ++i) {
        board(kOlder);
    }
    const std::string history = (resources.path() / "history.db").string();
    testing_support::ChildOptions blockedStops;
    blockedStops.beforeExec = [] {
        sigset_t blocked;
        sigemptyset(&blocked);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&blocked, signal);
        }
        return ::sigprocmask(SIG_BLOCK, &blocked, nullptr) == 0;
    };
    StationProcess station(
        {"--json", "--jobs", "1", "--history", history, "--config", configuration()}, blockedStops);
    std::optional<json> event;
    while ((event = station.nextEvent()) && (*event)["event"] != "progress") {
    }
    ASSERT_TRUE(event);
    const std::string running = (*event)["tty"];
    station.signal(SIGTERM);
    const std::vector<json> events = station.remainingEvents();
    EXPECT_EQ(station.wait(), 1);
    auto byTty = results(events);
    ASSERT_EQ(byTty.size(), 3u);
    EXPECT_EQ(byTty[running]["result"], "updated");
    unsigned untouched = 0;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const json& result = byTty["/dev/ttyUSB" + std::to_string(i)];
        if (result["tty"] == running) {
            EXPECT_TRUE(holdsFirmware(*boards[i]));
            continue;
        }
        ++untouched;
        EXPECT_EQ(result["result"], "failed");
        EXPECT_EQ(result["error"], "InterruptedError");
        EXPECT_EQ(result["reason"], "Stopped before its update began; the board was not touched.");
        EXPECT_EQ(result["serial"], "QRB0010" + std::to_string(i));
        EXPECT_EQ(boards[i]->sealCommands(), 0u);
        EXPECT_FALSE(holdsFirmware(*boards[i]));
    }
    EXPECT_EQ(untouched, 2u);
    EXPECT_EQ(events.back()["failed"], 2);
    EXPECT_EQ(events.back()["updated"], 1);
    std::map<std::string, std::string> rows;
    for (const json& row : historyRows(history)) {
        rows[row["tty"]] = row.value("error", std::string(row["result"]));
    }
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[running], "updated");
}

// An image file rebuilt during a --watch run: the boards get the image read
// at the start, their rows name it, and one log line says a restart takes
// the new one.
TEST_F(StationEndToEnd, AnImageRewrittenDuringWatchChangesNothingFlashedOrRecorded) {
    board(kOlder, {}, false);
    board(kOlder, {}, false);
    const std::string history = (resources.path() / "history.db").string();
    const std::string errors = (resources.path() / "stderr.txt").string();
    const std::vector<uint8_t> original =
        SimpleCodeImageBuilder().addDataRecord(0x0000, firmware).addEndRecord().bytes();
    StationProcess station({"--watch", "--json", "--history", history, "--config", configuration()},
                           {.errorsFile = errors});
    std::this_thread::sleep_for(300ms);
    plug(0);
    std::optional<json> event;
    while ((event = station.nextEvent()) && (*event)["event"] != "result") {
    }
    ASSERT_TRUE(event);
    // Rebuilt as a build does: a new file renamed over the old one.
    resources.writeFile(
        "QRB_Firmware.sc.new",
        SimpleCodeImageBuilder().addDataRecord(0x0000, pattern(6000, 7)).addEndRecord().bytes());
    std::filesystem::rename(resources.path() / "QRB_Firmware.sc.new",
                            resources.path() / "QRB_Firmware.sc");
    std::this_thread::sleep_for(500ms);
    plug(1);
    while ((event = station.nextEvent()) && (*event)["event"] != "result") {
    }
    ASSERT_TRUE(event);
    EXPECT_EQ((*event)["result"], "updated");
    station.signal(SIGTERM);
    station.remainingEvents();
    EXPECT_EQ(station.wait(), 0);
    EXPECT_TRUE(holdsFirmware(*boards[0]));
    EXPECT_TRUE(holdsFirmware(*boards[1])) << "the image read at the start went to the board";

    const std::optional<std::string> digest = sha256OfBytes(original.data(), original.size());
    const std::vector<json> rows = historyRows(history);
    ASSERT_EQ(rows.size(), 2u);
    for (const json& row : rows) {
        EXPECT_EQ(row["image_sha256"], *digest);
    }
    std::ifstream file(errors);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    const std::string line = "The image file " + (resources.path() / "QRB_Firmware.sc").string() +
                             " changed on disk; this run goes on with the image it read at its "
                             "start. Restart qrb-flash to take the new one.";
    EXPECT_NE(text.find(line), std::string::npos) << text;
    EXPECT_EQ(text.find(line), text.rfind(line)) << "once";
}

// A failed board's result names its trace. A warning of the boards'
// processes (here: no trace can be written) reaches the station's standard
// error once, however many boards meet it.
TEST_F(StationEndToEnd, AResultNamesItsTraceAndAWarningOfTheBoardsIsShownOnce) {
    board(kOlder, {"answer:0x04=0x15"});
    board(kOlder, {"answer:0x04=0x15"});
    const char* saved = std::getenv("XDG_STATE_HOME");
    const std::string savedState = saved != nullptr ? saved : "";
    const auto stateHome = [&](const std::string& path) {
        ::setenv("XDG_STATE_HOME", path.c_str(), 1);
    };
    const std::string errors = (resources.path() / "stderr.txt").string();
    stateHome((resources.path() / "state").string());
    {
        StationProcess station({"--json", "--config", configuration()}, {.errorsFile = errors});
        auto byTty = results(station.remainingEvents());
        EXPECT_EQ(station.wait(), 1);
        for (const auto& [tty, result] : byTty) {
            ASSERT_TRUE(result.contains("trace")) << result;
            EXPECT_TRUE(std::filesystem::exists(result["trace"].get<std::string>()));
        }
    }
    // Two new boards, as the first two are left in their RAM bootloader.
    for (auto& adapter : adapters) {
        adapter->unplug();
    }
    board(kOlder, {"answer:0x04=0x15"});
    board(kOlder, {"answer:0x04=0x15"});
    resources.writeFile("not-a-directory", std::vector<uint8_t>{1});
    stateHome((resources.path() / "not-a-directory").string());
    StationProcess station({"--json", "--config", configuration()}, {.errorsFile = errors});
    auto byTty = results(station.remainingEvents());
    EXPECT_EQ(station.wait(), 1);
    if (saved != nullptr) {
        stateHome(savedState);
    } else {
        ::unsetenv("XDG_STATE_HOME");
    }
    ASSERT_EQ(byTty.size(), 2u);
    for (const auto& [tty, result] : byTty) {
        EXPECT_EQ(result["error"], "SealingError");
        EXPECT_FALSE(result.contains("trace"));
    }
    std::ifstream file(errors);
    std::vector<std::string> warnings;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("qrb-flash: Serial trace not written")) {
            warnings.push_back(line);
        }
    }
    EXPECT_EQ(warnings.size(), 1u);
}

TEST_F(StationEndToEnd, OnATerminalEachRunningBoardHasALineThatGoesWhenItEnds) {
    board(kOlder);
    board(kSame);
    StationProcess station({"--config", configuration()}, {.terminalColumns = 24});
    // What a terminal shows: each leading "up a line, clear it" takes back
    // the line above.
    const std::string erase = "\x1b[1A\x1b[2K";
    std::vector<std::string> screen;
    std::vector<std::string> liveLines;
    while (std::optional<std::string> segment = station.nextLine(90s)) {
        std::string line = *segment;
        while (line.starts_with(erase)) {
            ASSERT_FALSE(screen.empty()) << "erased more lines than were drawn";
            screen.pop_back();
            line.erase(0, erase.size());
        }
        if (line.starts_with("  /dev/ttyUSB")) {
            liveLines.push_back(line);
        }
        screen.push_back(line);
    }
    EXPECT_EQ(station.wait(), 0);

    ASSERT_EQ(screen.size(), 3u) << ::testing::PrintToString(screen);
    EXPECT_TRUE(screen[2].starts_with("1 updated, 1 current, 0 skipped, 0 failed")) << screen[2];
    ASSERT_FALSE(liveLines.empty());
    for (const std::string& live : liveLines) {
        // 23 columns at the most: "  /dev/ttyUSB0  Connec…" and the like.
        const auto columns = std::count_if(live.begin(), live.end(), [](char byte) {
            return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
        });
        EXPECT_LE(columns, 23) << live;
        EXPECT_TRUE(live.ends_with("…")) << live;
    }
}

TEST_F(StationEndToEnd, PortTakesASimulatorPtyAsItIs) {
    SimulatorConfig config;
    config.versionWord = kOlder;
    BoardSimulator pty(config);
    pty.start();
    // umockdev's preload library does not let a pty outside its testbed be
    // claimed: this run sees the machine as it is.
    const auto outsideTestbed = [] {
        return ::unsetenv("LD_PRELOAD") == 0 && ::unsetenv("UMOCKDEV_DIR") == 0;
    };
    StationProcess station({"--json", "--port", pty.slavePath(), "--config", configuration()},
                           {.beforeExec = outsideTestbed});
    const std::vector<json> events = station.remainingEvents();
    EXPECT_EQ(station.wait(), 0);
    auto byTty = results(events);
    ASSERT_EQ(byTty.size(), 1u);
    const json& result = byTty[pty.slavePath()];
    EXPECT_EQ(result["result"], "updated") << result;
    EXPECT_EQ(result["port"], pty.slavePath());
    EXPECT_EQ(result["serial"], "");
    EXPECT_TRUE(holdsFirmware(pty));
    pty.stop();
}

TEST_F(StationEndToEnd, ListNamesTheBoardsAndTouchesNone) {
    const std::string errors = (resources.path() / "list.err").string();
    {
        StationProcess none({"list"}, {.errorsFile = errors});
        EXPECT_TRUE(none.remainingLines().empty());
        EXPECT_EQ(none.wait(), 2);
        std::ifstream said(errors);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(said), {}),
                  "qrb-flash: no QRB Box found\n");
    }
    board(kOlder);
    board(kSame);
    StationProcess station({"list", "--json"});
    const std::vector<json> events = station.remainingEvents();
    EXPECT_EQ(station.wait(), 0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["event"], "found");
    EXPECT_EQ(events[1]["port"], "pci-0000:00:14.0-usb-0:2:1.0");
    for (const auto& simulated : boards) {
        EXPECT_EQ(simulated->bytesReceived(), 0u);
    }
}

TEST_F(StationEndToEnd, NoBoardIsExitTwoAndABadImageIsExit78WithoutTouchingABoard) {
    {
        StationProcess station({"--json", "--config", configuration()});
        const std::vector<json> events = station.remainingEvents();
        EXPECT_EQ(station.wait(), 2);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0]["event"], "summary");
    }
    BoardSimulator& untouched = board(kOlder);
    // A firmware image whose checksum does not come out.
    resources.writeFile(
        "QRB_Firmware.sc",
        SimpleCodeImageBuilder().addDataRecord(0x0000, firmware).addEndRecord(1).bytes());
    StationProcess station({"--json", "--config", configuration()});
    EXPECT_EQ(station.remainingEvents().size(), 0u);
    EXPECT_EQ(station.wait(), 78);
    EXPECT_EQ(untouched.bytesReceived(), 0u);
}

} // namespace
