#include "AttemptRow.h"

#include <utility>

namespace {

std::optional<std::string> unlessEmpty(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional<std::string>(text);
}

} // namespace

AttemptCase attemptCaseOf(VersionCase versionCase) {
    switch (versionCase) {
    case VersionCase::Corrupt:
        return AttemptCase::Corrupt;
    case VersionCase::Older:
        return AttemptCase::Older;
    case VersionCase::Same:
        return AttemptCase::Same;
    case VersionCase::Newer:
        return AttemptCase::Newer;
    }
    return AttemptCase::Corrupt;
}

AttemptRow::AttemptRow(AttemptFront front, std::string tty, std::string port, std::string serial,
                       std::chrono::system_clock::time_point began) {
    record_.id = newAttemptId();
    record_.time = began;
    record_.station = defaultStationName();
    record_.operatorName = currentOperatorName();
    record_.front = front;
    record_.tty = std::move(tty);
    record_.port = std::move(port);
    record_.serial = std::move(serial);
}

void AttemptRow::identify(std::string id) {
    record_.id = std::move(id);
}

void AttemptRow::stationName(std::string station) {
    record_.station = std::move(station);
}

void AttemptRow::versionRead(const std::optional<std::string>& version, VersionCase versionCase) {
    record_.versionRead = versionCase == VersionCase::Corrupt ? std::nullopt : version;
    record_.versionCase = attemptCaseOf(versionCase);
}

void AttemptRow::stepStarted(const std::string& caption) {
    record_.step = caption;
}

void AttemptRow::traceAt(const std::string& path) {
    record_.trace = path;
}

AttemptRecord AttemptRow::ended(AttemptResult result, const std::optional<BoardFailure>& failure,
                                const std::string& imageVersion, double seconds) const {
    AttemptRecord record = record_;
    record.result = result;
    if (result != AttemptResult::Failed) {
        record.step.reset();
    }
    if (failure) {
        record.error = unlessEmpty(failure->error);
        record.reason = unlessEmpty(failure->reason);
    }
    record.imageVersion = imageVersion;
    record.seconds = seconds;
    return record;
}

std::optional<std::string> boardVersionText(const VersionDecision& decision) {
    if (decision.versionCase == VersionCase::Corrupt) {
        return std::nullopt;
    }
    return versionText(decision.board);
}
