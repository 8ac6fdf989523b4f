// What a board's process leaves behind once the board has ended: its serial
// trace, synced with its directory before the history row that names it is
// committed, and the history and the traces the user's alone.

#include "BoardRun.h"

#include "AttemptTrace.h"
#include "History.h"
#include "LogCapture.h"
#include "PrivateFiles.h"
#include "TempDir.h"
#include "TraceFormat.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::optional<ino_t> inodeOf(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? std::optional<ino_t>(status.st_ino) : std::nullopt;
}

TEST(BoardRecords, TheTraceIsSyncedBeforeItsRowCommitsAndAllIsPrivate) {
    testing_support::TempDir dir;
    const fs::path state = dir.path() / "state";
    const char* previousState = std::getenv("XDG_STATE_HOME");
    const std::optional<std::string> restoreState =
        previousState != nullptr ? std::optional<std::string>(previousState) : std::nullopt;
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    ::unsetenv("QRB_HISTORY");
    ::unsetenv("QRB_TRACE_LIMIT");
    testing_support::LogCapture log;

    StationPlan plan;
    plan.update = {"/nonexistent/ram.sc", "/nonexistent/firmware.sc", 0x00030201};
    plan.historyPath = defaultHistoryPath();
    BoardOutcome outcome;
    outcome.identity = {"/dev/ttyUSB0", "pci-0000:00:14.0-usb-0:2:1.0", "QRB00042"};
    outcome.result = BoardResult::Failed;
    outcome.error = "SealingError";
    outcome.reason = "Error sealing the flash (21).";
    outcome.step = "Sealing the flash\u2026";
    outcome.to = "1.2.3";

    std::vector<std::pair<DurableStep, std::string>> steps;
    std::optional<ino_t> synced;
    bool wholeAtCommit = false;
    setDurabilityObserver([&](DurableStep step, const std::string& path) {
        steps.emplace_back(step, path);
        if (step == DurableStep::FileSynced) {
            synced = inodeOf(path);
        } else if (step == DurableStep::RowCommitted) {
            // The row names the very file that was synced, whole.
            wholeAtCommit = synced && inodeOf(path) == synced &&
                            qrbtrace::readTraceFile(path).header.tty == "/dev/ttyUSB0";
        }
    });
    const mode_t umask = ::umask(022);
    beginAttemptTrace();
    markAttemptStep("Sealing the flash\u2026");
    boardEnded(outcome, plan);
    ::umask(umask);
    setDurabilityObserver({});
    restoreState ? ::setenv("XDG_STATE_HOME", restoreState->c_str(), 1)
                 : ::unsetenv("XDG_STATE_HOME");

    ASSERT_TRUE(outcome.trace);
    const fs::path traces = fs::path(*outcome.trace).parent_path();
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_EQ(steps[0].first, DurableStep::FileSynced);
    EXPECT_EQ(fs::path(steps[0].second).parent_path(), traces);
    EXPECT_EQ(steps[1], std::make_pair(DurableStep::DirectorySynced, traces.string()));
    EXPECT_EQ(steps[2], std::make_pair(DurableStep::RowCommitted, *outcome.trace));
    EXPECT_TRUE(wholeAtCommit);

    // Every directory created 0700, every file 0600, whatever the umask.
    int files = 0;
    EXPECT_EQ(fs::status(state).permissions(), fs::perms::owner_all);
    for (const auto& entry : fs::recursive_directory_iterator(state)) {
        const fs::perms perms = entry.status().permissions();
        if (entry.is_directory()) {
            EXPECT_EQ(perms, fs::perms::owner_all) << entry.path();
        } else {
            EXPECT_EQ(perms, fs::perms::owner_read | fs::perms::owner_write) << entry.path();
            ++files;
        }
    }
    EXPECT_GE(files, 3) << "the history, its log and the trace";
}

} // namespace
