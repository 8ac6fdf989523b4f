#include "StationHistory.h"

#include "AttemptRow.h"
#include "History.h"

#include <chrono>

AttemptRecord attemptRecordOf(const BoardOutcome& outcome, const StationPlan& plan) {
    const auto began = std::chrono::system_clock::now() -
                       std::chrono::duration_cast<std::chrono::system_clock::duration>(
                           std::chrono::duration<double>(outcome.seconds));
    AttemptRow row(AttemptFront::Station, outcome.identity.tty, outcome.identity.port,
                   outcome.identity.serial, began);
    if (!outcome.attemptId.empty()) {
        row.identify(outcome.attemptId);
    }
    if (!plan.station.empty()) {
        row.stationName(plan.station);
    }
    if (outcome.versionCase) {
        row.versionRead(outcome.from, *outcome.versionCase);
    }
    if (outcome.step) {
        row.stepStarted(*outcome.step);
    }
    if (outcome.trace) {
        row.traceAt(*outcome.trace);
    }
    std::optional<BoardFailure> failure;
    if (!outcome.error.empty() || !outcome.reason.empty()) {
        failure = BoardFailure{outcome.error, outcome.reason};
    }
    AttemptRecord record =
        row.ended(attemptResultOf(outcome.result), failure, outcome.to, outcome.seconds);
    record.imageSha256 = plan.imageSha256;
    return record;
}

void recordBoardOutcome(const BoardOutcome& outcome, const StationPlan& plan) {
    if (!plan.historyPath.empty()) {
        recordAttempt(attemptRecordOf(outcome, plan), plan.historyPath);
    }
}
