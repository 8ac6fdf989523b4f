// Every update step against every fault the board simulator can commit
// there: how the updater must end, cell by cell.

#include "MatrixReport.h"
#include "Serial.h"
#include "UpdaterRun.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <thread>

namespace reliability {
namespace {

using namespace std::chrono_literals;
using qrbsim::BoardSimulator;
using qrbsim::BoardState;
using ::testing::IsEmpty;

// How long a cell that waits, as the updater must, is watched waiting.
constexpr auto kBoundedWait = 500ms;
// Time limits far above what a run takes (at most 10 s, with the 8 s bound
// of the synchronisation at 460800), so that a hang fails the case.
constexpr auto kRunLimit = 25s;
constexpr auto kWatchLimit = 15s;
// A silent board is noticed within 10 s of its last byte; the machine may be
// loaded, so the run is allowed this much beyond the bound it reports.
constexpr auto kLoadSlack = 3s;

enum class Ending {
    Success,       // the success alert, the board holds the sealed firmware
    Failure,       // the failure alert
    BackToWaiting, // no alert: the updater waits for the board to be plugged in again
};

struct Cell {
    std::string row;
    std::string column;
    std::string fault; // the simulator's fault; empty where none applies
    Ending ending = Ending::Failure;
    // The updater waits without end, as it must, until the board is unplugged.
    bool waits = false;
    std::vector<std::string> log; // every log line, exactly
    std::size_t captions = 0;     // update captions shown
    // Before the bounded wait of a cell that waits begins: the bytes the host
    // must have sent, and an event the board logs at each attempt of the
    // host (the wait then starts after the second attempt).
    uint64_t hostBytes = 0;
    std::string attemptEvent;
    // Synchronisations answered by the resident and the RAM bootloader.
    std::pair<unsigned, unsigned> syncs{1, 1};
    // The bound of an exchange ran out: the one log line is a
    // "SerialCommTimeoutError" whose reason names the bound, at most 10 s.
    bool timesOut = false;
    // The version query failed: the main window and the journal say that
    // the board on its tty did not answer.
    bool unanswered = false;
};

// Shown with a case's name: the fault.
void PrintTo(const Cell& cell, std::ostream* out) {
    *out << cell.fault;
}

// The journal line that names a failed attempt's serial trace.
const std::string kTraceLine = "Serial trace written to ";

std::vector<std::string> withoutTraceLines(std::vector<std::string> lines) {
    std::erase_if(lines, [](const std::string& line) { return line.starts_with(kTraceLine); });
    return lines;
}

const std::string kReceiveError =
    "[SerialCommReceiveError: Serial Communication Error: receiving serial data failed.]";

// The bound of an exchange ran out; the reason ends with the bound.
const std::string kTimeoutPrefix = "[SerialCommTimeoutError: Serial Communication Error: no "
                                   "answer from the QRB board within ";
// The bound of the version query and the exit command.
const std::string kNoAnswerError = kTimeoutPrefix + "2 s.]";

Cell notApplicable() {
    return {};
}

Cell succeeds(std::string fault, std::pair<unsigned, unsigned> syncs = {1, 1}) {
    Cell cell;
    cell.fault = std::move(fault);
    cell.ending = Ending::Success;
    cell.syncs = syncs;
    return cell;
}

Cell fails(std::string fault, const std::string& exception) {
    Cell cell;
    cell.fault = std::move(fault);
    cell.log = {"Exception(7): " + exception};
    return cell;
}

// Waits for an answer that does not come until the exchange's bound runs out.
Cell timesOut(std::string fault) {
    Cell cell = fails(std::move(fault), kTimeoutPrefix);
    cell.timesOut = true;
    return cell;
}

Cell backToWaiting(std::string fault, std::vector<std::string> log = {}) {
    Cell cell;
    cell.fault = std::move(fault);
    cell.ending = Ending::BackToWaiting;
    cell.log = std::move(log);
    return cell;
}

// The version query failed.
Cell unanswered(std::string fault, const std::string& exception) {
    Cell cell = backToWaiting(std::move(fault), {"Exception(2): " + exception});
    cell.unanswered = true;
    return cell;
}

Cell waitsThenBackToWaiting(std::string fault, std::vector<std::string> log = {},
                            uint64_t hostBytes = 0, std::string attemptEvent = {}) {
    Cell cell = backToWaiting(std::move(fault), std::move(log));
    cell.waits = true;
    cell.hostBytes = hostBytes;
    cell.attemptEvent = std::move(attemptEvent);
    return cell;
}

// The bound named in a timeout's log line, in seconds (negative if none).
double boundIn(const std::string& line) {
    const auto at = line.find("within ");
    return at == std::string::npos ? -1.0 : std::strtod(line.c_str() + at + 7, nullptr);
}

const std::vector<std::string> kColumns = {"silence", "wrong answer", "corrupt block checksum",
                                           "noise", "hang-up"};

struct Row {
    std::string name;
    std::size_t captions; // update captions up to the step's
    std::array<Cell, 5> cells;
};

// The host has sent the reset and its first synchronisation.
constexpr uint64_t kInSync = 2 + 4;

const std::vector<Row>& matrixRows() {
    const std::string sendError = "Exception(4): [SerialCommSendError: Serial Communication "
                                  "Error: transmitting serial data failed (-1:2).]";
    const std::string answered = "fault: answered sync";
    static const std::vector<Row> rows = {
        {"open at 115200",
         0,
         {waitsThenBackToWaiting("silent@open/firmware", {}, kInSync), notApplicable(),
          notApplicable(), succeeds("noise:16@open/firmware"),
          backToWaiting("hangup@open/firmware", {sendError})}},
        {"reset",
         0,
         {waitsThenBackToWaiting("silent@reset", {}, kInSync), notApplicable(), notApplicable(),
          succeeds("noise:16@reset"), backToWaiting("hangup@reset")}},
        {"open at 57600",
         0,
         {waitsThenBackToWaiting("silent@open/resident", {}, kInSync), notApplicable(),
          notApplicable(), succeeds("noise:16@open/resident"),
          backToWaiting("hangup@open/resident")}},
        {"sync at 57600",
         0,
         {waitsThenBackToWaiting("silent@sync/resident", {}, kInSync),
          waitsThenBackToWaiting("answer:0xaa=0x00/resident", {}, 0, answered), notApplicable(),
          succeeds("noise:5/resident", {2, 1}), backToWaiting("hangup@sync/resident")}},
        {"version query",
         0,
         {unanswered("silent@version", kNoAnswerError),
          unanswered("answer:0x05=0x15",
                     "[VersionInfoError: Error getting firmware version (21).]"),
          notApplicable(),
          unanswered("noise:1@version", "[VersionInfoError: Error getting firmware version (0).]"),
          unanswered("hangup@version", kReceiveError)}},
        {"program RAM bootloader",
         2,
         {timesOut("silent@program/resident"),
          fails("answer:0x02=0x15/resident",
                "[ProgrammingUnknownError: Programming Error: unknown error (21).]"),
          fails("corrupt-checksum:2/resident",
                "[ProgrammingChecksumError: Programming Error: checksum does not match.]"),
          fails("noise:1@program/resident",
                "[ProgrammingUnknownError: Programming Error: unknown error (81).]"),
          fails("hangup@program/resident", kReceiveError)}},
        {"verify RAM bootloader",
         3,
         {timesOut("silent@verify/resident"),
          fails("answer:0x03=0x15/resident",
                "[VerifyingUnknownError: Verifying Error: unknown error (21).]"),
          notApplicable(),
          fails("noise:1@verify/resident",
                "[VerifyingUnknownError: Verifying Error: unknown error (81).]"),
          fails("hangup@verify/resident", kReceiveError)}},
        {"jump",
         3,
         {timesOut("silent@jump"),
          fails("answer:0x07=0x15", "[JumpingError: Error jumping to address (21).]"),
          notApplicable(), fails("noise:1@jump", "[JumpingError: Error jumping to address (81).]"),
          fails("hangup@jump", kReceiveError)}},
        {"sync at 460800",
         3,
         {timesOut("silent@sync/ram"), timesOut("answer:0xaa=0x00/ram"), notApplicable(),
          succeeds("noise:5/ram", {1, 2}), fails("hangup@sync/ram", kReceiveError)}},
        {"unseal",
         5,
         {timesOut("silent@unseal"),
          fails("answer:0x01=0x15", "[ShortCommandError: Error executing short command (21:1).]"),
          notApplicable(),
          fails("noise:1@unseal", "[ShortCommandError: Error executing short command (81:1).]"),
          fails("hangup@unseal", kReceiveError)}},
        {"program flash",
         6,
         {timesOut("silent@program/ram"),
          fails("answer:0x02=0x15/ram",
                "[ProgrammingUnknownError: Programming Error: unknown error (21).]"),
          fails("corrupt-checksum:2/ram",
                "[ProgrammingChecksumError: Programming Error: checksum does not match.]"),
          fails("noise:1@program/ram",
                "[ProgrammingUnknownError: Programming Error: unknown error (81).]"),
          fails("hangup@program/ram", kReceiveError)}},
        {"block of the flash",
         6,
         {timesOut("silent@block/ram"), notApplicable(), notApplicable(),
          fails("noise:1@block/ram",
                "[ProgrammingChecksumError: Programming Error: checksum does not match.]"),
          fails("hangup@block/ram", kReceiveError)}},
        {"verify flash",
         7,
         {timesOut("silent@verify/ram"),
          fails("answer:0x03=0x15/ram",
                "[VerifyingUnknownError: Verifying Error: unknown error (21).]"),
          notApplicable(),
          fails("noise:1@verify/ram",
                "[VerifyingUnknownError: Verifying Error: unknown error (81).]"),
          fails("hangup@verify/ram", kReceiveError)}},
        {"verdict of the flash",
         7,
         {timesOut("silent@verdict/ram"), notApplicable(), notApplicable(),
          fails("noise:1@verdict/ram",
                "[VerifyingUnknownError: Verifying Error: unknown error (81).]"),
          fails("hangup@verdict/ram", kReceiveError)}},
        {"seal",
         8,
         {timesOut("silent@seal"),
          fails("answer:0x04=0x15", "[SealingError: Error sealing the flash (21).]"),
          notApplicable(), fails("noise:1@seal", "[SealingError: Error sealing the flash (81).]"),
          fails("hangup@seal", kReceiveError)}},
    };
    return rows;
}

std::vector<Cell> matrixCells() {
    std::vector<Cell> cells;
    for (const Row& row : matrixRows()) {
        for (std::size_t i = 0; i < kColumns.size(); ++i) {
            Cell cell = row.cells[i];
            cell.row = row.name;
            cell.column = kColumns[i];
            cell.captions = cell.ending == Ending::Success ? 8 : row.captions;
            cells.push_back(std::move(cell));
        }
    }
    return cells;
}

std::vector<Cell> runnableCells() {
    std::vector<Cell> cells = matrixCells();
    std::erase_if(cells, [](const Cell& cell) { return cell.fault.empty(); });
    return cells;
}

// "sync at 460800" gives "SyncAt460800".
std::string identifier(const std::string& words) {
    std::string id;
    bool capital = true;
    for (const char c : words) {
        if (std::isalnum(static_cast<unsigned char>(c)) == 0) {
            capital = true;
            continue;
        }
        id += capital ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
        capital = false;
    }
    return id;
}

bool faultFired(const BoardSimulator& simulated) {
    const auto events = simulated.events();
    return std::any_of(events.begin(), events.end(),
                       [](const std::string& event) { return event.starts_with("fault:"); });
}

std::size_t eventCount(const BoardSimulator& simulated, const std::string& prefix) {
    const auto events = simulated.events();
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(),
                      [&](const std::string& event) { return event.starts_with(prefix); }));
}

// Waits until the updater is where a cell that waits leaves it waiting;
// false if it never got there.
bool untilTheUpdaterWaits(const Cell& cell, const BoardSimulator& simulated) {
    const auto limit = std::chrono::steady_clock::now() + kWatchLimit;
    if (!simulated.waitForEvent("fault:", kWatchLimit)) {
        return false;
    }
    while (std::chrono::steady_clock::now() < limit) {
        const bool sent = simulated.bytesReceived() >= cell.hostBytes;
        const bool retried =
            cell.attemptEvent.empty() || eventCount(simulated, cell.attemptEvent) >= 2;
        if (sent && retried) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class FaultMatrix : public UpdaterRun, public ::testing::WithParamInterface<Cell> {
  protected:
    void TearDown() override {
        const Cell& cell = GetParam();
        appendResult({"matrix", cell.row, cell.column, cell.fault, !HasFailure(), outcome});
        UpdaterRun::TearDown();
    }

    std::vector<std::string> expectedCaptions(std::size_t count) const {
        return {app_tests::kUpdateCaptions.begin(),
                app_tests::kUpdateCaptions.begin() + static_cast<std::ptrdiff_t>(count)};
    }

    std::string finalAlertTitle() const {
        const auto alerts = finalAlerts();
        return alerts.empty() ? "no final alert" : alerts.back().title.value_or("?");
    }

    // How the updater ended, as observed, for the report.
    std::string outcome = "did not end";
};

TEST_P(FaultMatrix, Cell) {
    const Cell& cell = GetParam();
    BoardSimulator& faulty = board({cell.fault});
    const auto device = plugIn(faulty);
    std::vector<std::string> expectedLog = cell.log;
    if (cell.unanswered) {
        expectedLog.push_back("The QRB Box on " + faulty.slavePath() +
                              " did not answer. Unplug it and plug it in again.");
    }

    // A cell that waits is watched waiting for a bounded time, and then the
    // board is unplugged, from a thread of its own: the updater may be
    // waiting on the main thread (the version query).
    struct Snapshot {
        bool reached = false;
        bool exited = false;
        std::size_t finalAlerts = 0;
        std::vector<std::string> log;
        std::size_t captions = 0;
    };
    Snapshot whileWaiting;
    std::atomic<bool> unplugged{false};
    std::jthread watcher;
    // When the fault struck, for a cell whose bound runs out.
    std::optional<std::chrono::steady_clock::time_point> struck;
    std::jthread strikeWatcher;
    if (cell.timesOut) {
        strikeWatcher = std::jthread([&] {
            if (faulty.waitForEvent("fault:", kWatchLimit)) {
                struck = std::chrono::steady_clock::now();
            }
        });
    }
    if (cell.waits) {
        watcher = std::jthread([&] {
            const bool reached = untilTheUpdaterWaits(cell, faulty);
            std::this_thread::sleep_for(kBoundedWait);
            whileWaiting = {reached, platform->exitStatus().has_value(), finalAlerts().size(),
                            platform->logLines(), platform->captionsOf("progressCaption").size()};
            faulty.unplug();
            unplugged = true;
        });
    }

    if (cell.ending == Ending::BackToWaiting) {
        controller->awakeFromNib();
        const bool goes = cell.waits || cell.fault.starts_with("hangup");
        platform->runUntil(
            [&] {
                return faultFired(faulty) && (!cell.waits || unplugged) &&
                       (!goes || faulty.state() == BoardState::Gone) &&
                       withoutTraceLines(platform->logLines()).size() >= expectedLog.size();
            },
            kRunLimit);
        platform->runFor(300ms); // whatever else it would do, it does now
    } else {
        platform->runUntilExit(kRunLimit, [this] { controller->awakeFromNib(); });
    }
    const auto ended = std::chrono::steady_clock::now();
    if (watcher.joinable()) {
        watcher.join();
    }
    if (strikeWatcher.joinable()) {
        strikeWatcher.join();
    }

    auto log = withoutTraceLines(platform->logLines());
    if (cell.timesOut) {
        ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
        ASSERT_TRUE(log[0].starts_with(cell.log[0])) << log[0];
        const double bound = boundIn(log[0]);
        EXPECT_GT(bound, 0.0) << log[0];
        EXPECT_LE(bound, 10.0) << "a silent board is noticed within 10 s";
        ASSERT_TRUE(struck) << "the fault never struck";
        const auto took = std::chrono::duration<double>(ended - *struck).count();
        EXPECT_LT(took, bound + std::chrono::duration<double>(kLoadSlack).count())
            << "noticed " << took << " s after the board fell silent";
        log[0] = cell.log[0]; // the bound itself is the exchange's own
    }
    outcome.clear();
    if (cell.waits) {
        const bool waited = whileWaiting.reached && !whileWaiting.exited &&
                            whileWaiting.finalAlerts == 0 && whileWaiting.log.empty();
        outcome = waited ? std::string("waits") +
                               (cell.attemptEvent.empty() ? "" : ", synchronising again") +
                               ", then unplugged: "
                         : "ended before it was unplugged: ";
        EXPECT_TRUE(waited) << "the updater did not wait for the board";
        EXPECT_EQ(whileWaiting.captions, cell.captions) << "waiting at another step";
    }
    EXPECT_TRUE(faultFired(faulty)) << "the fault never struck";
    EXPECT_EQ(log, expectedLog);
    EXPECT_EQ(platform->captionsOf("progressCaption"), expectedCaptions(cell.captions));

    if (cell.ending == Ending::Failure) {
        EXPECT_THAT(platform->logLinesStartingWith(kTraceLine), ::testing::SizeIs(1))
            << "the failed update's serial trace is written and named";
    }
    if (cell.ending != Ending::BackToWaiting) {
        outcome += (log.empty() ? "" : logSummary(log) + " + ") + finalAlertTitle();
        expectCleanExit(faulty);
        expectFinalAlert(cell.ending == Ending::Success);
        if (cell.ending == Ending::Success) {
            EXPECT_TRUE(holdsTheFirmware(faulty));
            const auto syncs = syncsAnswered(faulty);
            EXPECT_EQ(syncs, cell.syncs) << "synchronisations answered";
            if (syncs.first > 1) {
                outcome += ", in step with the resident bootloader at attempt " +
                           std::to_string(syncs.first);
            }
            if (syncs.second > 1) {
                outcome +=
                    ", in step with the RAM bootloader at attempt " + std::to_string(syncs.second);
            }
        }
        return;
    }

    // Back to waiting for a board: nothing shown, the main window up.
    outcome += logSummary(log) + ", no alert";
    EXPECT_FALSE(platform->exitStatus());
    EXPECT_THAT(platform->alerts(), IsEmpty());
    EXPECT_TRUE(platform->isShown("mainWindow"));
    EXPECT_TRUE(controller->applicationShouldTerminateAfterLastWindowClosed());
    if (cell.unanswered) {
        EXPECT_EQ(platform->textOf("connectionDiagnosis"), expectedLog.back());
    }

    // Unplugged for good, then a sound board: it is updated.
    faulty.unplug();
    devices->removeDevice(device);
    EXPECT_TRUE(platform->runUntil(
        [&] { return platform->runningWorkers() == 0 && controller->qrbBoxes().empty(); }, 5s));
    EXPECT_EQ(platform->textOf("connectionDiagnosis"), "");
    EXPECT_EQ(ser_fd, -1) << "the port is still open";
    BoardSimulator& sound = board();
    plugIn(sound);
    platform->runUntilExit(kRunLimit);
    outcome += "; plugged in again: " + finalAlertTitle();
    expectCleanExit(sound);
    expectFinalAlert(true);
    EXPECT_TRUE(holdsTheFirmware(sound));
    EXPECT_EQ(withoutTraceLines(platform->logLines()), expectedLog)
        << "log lines after plugging in again";
}

INSTANTIATE_TEST_SUITE_P(Steps, FaultMatrix, ::testing::ValuesIn(runnableCells()),
                         [](const auto& cellInfo) {
                             return identifier(cellInfo.param.row) + "_" +
                                    identifier(cellInfo.param.column);
                         });

// Foreign bytes before a synchronisation echo: up to 4 fit in the attempt
// with the echo (8 bytes are read); more take another attempt.
struct NoiseCase {
    std::string fault;
    std::pair<unsigned, unsigned> syncs; // answered by the resident and the RAM bootloader
};

void PrintTo(const NoiseCase& noise, std::ostream* out) {
    *out << noise.fault;
}

class NoiseBeforeTheEcho : public UpdaterRun, public ::testing::WithParamInterface<NoiseCase> {};

TEST_P(NoiseBeforeTheEcho, TakesAnotherAttemptOnlyWhenTheEchoDoesNotFit) {
    const NoiseCase& noise = GetParam();
    BoardSimulator& noisy = board({noise.fault});
    plugIn(noisy);
    platform->runUntilExit(kRunLimit, [this] { controller->awakeFromNib(); });
    expectCleanExit(noisy);
    expectFinalAlert(true);
    EXPECT_TRUE(holdsTheFirmware(noisy));
    EXPECT_EQ(syncsAnswered(noisy), noise.syncs);
    EXPECT_THAT(platform->logLines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Sync, NoiseBeforeTheEcho,
                         ::testing::Values(NoiseCase{"noise:4/resident", {1, 1}},
                                           NoiseCase{"noise:4/ram", {1, 1}},
                                           NoiseCase{"noise:12", {2, 2}}),
                         [](const auto& noiseInfo) { return identifier(noiseInfo.param.fault); });

} // namespace

TableLayout faultMatrixLayout() {
    TableLayout layout;
    layout.table = "matrix";
    layout.heading = "Update steps under board faults";
    layout.intro =
        "Rows: the step at which the board commits the fault; columns: the fault. "
        "\"waits\": the updater waits without end for an answer, as it must (only while it "
        "looks for the board, before the update), and is watched "
        "waiting for a bounded time; the board is then unplugged. A board silent during the "
        "update is noticed when the exchange's bound runs out (SerialCommTimeoutError, at "
        "most 10 s). \"no alert\": the updater "
        "goes back to waiting for the board to be plugged in again, and a sound board "
        "plugged in then is updated. Every run that ends exits with status 0 and the port "
        "closed; none shows the success alert unless the board holds the image, sealed with "
        "its version. n/a: the fault cannot happen at that step.";
    layout.corner = "step";
    layout.columns = kColumns;
    for (const Row& row : matrixRows()) {
        layout.rows.push_back(row.name);
    }
    for (const Cell& cell : matrixCells()) {
        if (cell.fault.empty()) {
            layout.notApplicable.insert({cell.row, cell.column});
        }
    }
    return layout;
}

} // namespace reliability
