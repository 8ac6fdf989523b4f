#include "BoardOutcome.h"

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

const char* boardResultName(BoardResult result) {
    return attemptResultName(attemptResultOf(result));
}
