#pragma once

#include "AttemptRecord.h"
#include "BoardOutcome.h"
#include "BoardRun.h"

// The station's rows of the update history (history/History.h).

// The row of a board's outcome: front "station", started seconds before now.
AttemptRecord attemptRecordOf(const BoardOutcome& outcome, const StationPlan& plan);

// Appends the row of outcome to plan.historyPath, unless that is empty. Never
// throws; a failure is the process's one warning.
void recordBoardOutcome(const BoardOutcome& outcome, const StationPlan& plan);
