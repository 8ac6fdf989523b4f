#include "StationHistory.h"

#include "DesktopHistory.h"
#include "History.h"

#include <chrono>

namespace {

AttemptResult attemptResultOf(BoardResult result) {
    switch (result) {
    case BoardResult::Updated:
        return AttemptResult::Updated;
    case BoardResult::Current:
        return AttemptResult::Current;
    case BoardResult::Skipped:
        return AttemptResult::Skipped;
    case BoardResult::Failed:
        return AttemptResult::Failed;
    }
    return AttemptResult::Failed;
}

std::optional<std::string> unlessEmpty(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

} // namespace

AttemptRecord attemptRecordOf(const BoardOutcome& outcome, const StationPlan& plan) {
    AttemptRecord record;
    record.time = std::chrono::system_clock::now() -
                  std::chrono::duration_cast<std::chrono::system_clock::duration>(
                      std::chrono::duration<double>(outcome.seconds));
    record.front = AttemptFront::Station;
    record.tty = outcome.identity.tty;
    record.port = outcome.identity.port;
    record.serial = outcome.identity.serial;
    record.versionRead = outcome.from;
    if (outcome.versionCase) {
        record.versionCase = attemptCaseOf(*outcome.versionCase);
    }
    record.imageVersion = outcome.to;
    record.imageSha256 = plan.imageSha256;
    record.trace = outcome.trace;
    record.result = attemptResultOf(outcome.result);
    record.error = unlessEmpty(outcome.error);
    record.reason = unlessEmpty(outcome.reason);
    record.step = outcome.step;
    record.seconds = outcome.seconds;
    return record;
}

void recordBoardOutcome(const BoardOutcome& outcome, const StationPlan& plan) {
    if (!plan.historyPath.empty()) {
        recordAttempt(attemptRecordOf(outcome, plan), plan.historyPath);
    }
}
