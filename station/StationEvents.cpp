#include "StationEvents.h"

#include "BoardSequence.h"
#include "StringFormat.h"
#include "TerminalText.h"

#include <nlohmann/json.hpp>

#include <cmath>

using json = nlohmann::ordered_json;

namespace {

double tenths(double seconds) {
    return std::round(seconds * 10.0) / 10.0;
}

// One line, with text that is not UTF-8 replaced rather than refused.
std::string line(const json& object) {
    return object.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<json> parsed(const std::string& text) {
    json object = json::parse(text, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        return std::nullopt;
    }
    return object;
}

std::string stringAt(const json& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : "";
}

} // namespace

void StationTally::count(BoardResult result) {
    switch (result) {
    case BoardResult::Updated:
        ++updated;
        break;
    case BoardResult::Current:
        ++current;
        break;
    case BoardResult::Skipped:
        ++skipped;
        break;
    case BoardResult::Failed:
        ++failed;
        break;
    }
}

std::string foundEvent(const BoardIdentity& board) {
    json object;
    object["event"] = "found";
    object["tty"] = board.tty;
    object["port"] = board.port;
    object["serial"] = board.serial;
    return line(object);
}

std::string versionEvent(const std::string& tty, const std::optional<std::string>& version,
                         VersionCase versionCase) {
    json object;
    object["event"] = "version";
    object["tty"] = tty;
    if (version) {
        object["version"] = *version;
    }
    object["case"] = versionCaseName(versionCase);
    return line(object);
}

std::string progressEvent(const std::string& tty, const std::string& step, std::uint64_t done,
                          std::optional<std::uint64_t> total) {
    json object;
    object["event"] = "progress";
    object["tty"] = tty;
    object["step"] = step;
    object["done"] = done;
    if (total) {
        object["total"] = *total;
    }
    return line(object);
}

std::string resultEvent(const BoardOutcome& outcome) {
    json object;
    object["event"] = "result";
    object["tty"] = outcome.identity.tty;
    object["port"] = outcome.identity.port;
    object["serial"] = outcome.identity.serial;
    object["result"] = boardResultName(outcome.result);
    if (outcome.from) {
        object["from"] = *outcome.from;
    }
    if (outcome.result == BoardResult::Updated) {
        object["to"] = outcome.to;
    }
    if (outcome.result == BoardResult::Failed) {
        object["error"] = outcome.error;
        object["reason"] = outcome.reason;
        if (outcome.step) {
            object["step"] = *outcome.step;
        }
    }
    object["seconds"] = tenths(outcome.seconds);
    if (outcome.trace) {
        object["trace"] = *outcome.trace;
    }
    return line(object);
}

std::string summaryEvent(const StationTally& tally, double seconds) {
    json object;
    object["event"] = "summary";
    object["updated"] = tally.updated;
    object["current"] = tally.current;
    object["skipped"] = tally.skipped;
    object["failed"] = tally.failed;
    object["seconds"] = tenths(seconds);
    return line(object);
}

std::optional<BoardOutcome> parseResultEvent(const std::string& text) {
    const std::optional<json> object = parsed(text);
    if (!object || stringAt(*object, "event") != "result") {
        return std::nullopt;
    }
    BoardOutcome outcome;
    outcome.identity = {stringAt(*object, "tty"), stringAt(*object, "port"),
                        stringAt(*object, "serial")};
    const std::string result = stringAt(*object, "result");
    bool known = false;
    for (BoardResult r :
         {BoardResult::Updated, BoardResult::Current, BoardResult::Skipped, BoardResult::Failed}) {
        if (result == boardResultName(r)) {
            outcome.result = r;
            known = true;
        }
    }
    if (!known) {
        return std::nullopt;
    }
    if (object->contains("from")) {
        outcome.from = stringAt(*object, "from");
    }
    outcome.to = stringAt(*object, "to");
    outcome.error = stringAt(*object, "error");
    outcome.reason = stringAt(*object, "reason");
    if (object->contains("step")) {
        outcome.step = stringAt(*object, "step");
    }
    const auto seconds = object->find("seconds");
    outcome.seconds = seconds != object->end() && seconds->is_number() ? seconds->get<double>() : 0;
    if (object->contains("trace")) {
        outcome.trace = stringAt(*object, "trace");
    }
    return outcome;
}

std::string endingEvent() {
    return R"({"event":"ending"})";
}

bool isEndingEvent(const std::string& text) {
    const std::optional<json> object = parsed(text);
    return object && stringAt(*object, "event") == "ending";
}

std::string warningEvent(const std::string& kind, const std::string& text) {
    json object;
    object["event"] = "warning";
    object["kind"] = kind;
    object["text"] = text;
    return line(object);
}

std::optional<WarningLine> parseWarningEvent(const std::string& text) {
    const std::optional<json> object = parsed(text);
    if (!object || stringAt(*object, "event") != "warning") {
        return std::nullopt;
    }
    return WarningLine{stringAt(*object, "kind"), stringAt(*object, "text")};
}

std::optional<ProgressLine> parseProgressEvent(const std::string& text) {
    const std::optional<json> object = parsed(text);
    if (!object || stringAt(*object, "event") != "progress") {
        return std::nullopt;
    }
    ProgressLine progress;
    progress.step = stringAt(*object, "step");
    const auto done = object->find("done");
    if (done != object->end() && done->is_number_unsigned()) {
        progress.done = done->get<std::uint64_t>();
    }
    const auto total = object->find("total");
    if (total != object->end() && total->is_number_unsigned()) {
        progress.total = total->get<std::uint64_t>();
    }
    return progress;
}

std::string boardName(const BoardIdentity& board) {
    std::string name = board.tty + " (" + board.port;
    if (!board.serial.empty()) {
        name += ", " + board.serial;
    }
    return terminalText(name + ")");
}

std::string resultText(const BoardOutcome& outcome) {
    const std::string trace = outcome.trace ? " Trace: " + *outcome.trace : "";
    const std::string name = boardName(outcome.identity);
    const std::string from = outcome.from.value_or("corrupt or missing firmware");
    const std::string took = formatString(" in %.1f s", outcome.seconds);
    switch (outcome.result) {
    case BoardResult::Updated:
        return name + ": updated " + from + " -> " + outcome.to + took + trace;
    case BoardResult::Current:
        return name + ": current, " + from + trace;
    case BoardResult::Skipped:
        return name + ": skipped, newer firmware " + from + " than " + outcome.to + trace;
    case BoardResult::Failed:
        break;
    }
    std::string text = name + ": FAILED";
    if (outcome.step) {
        text += " at \"" + *outcome.step + "\"";
    }
    // The reason may carry what a board sent: shown, like the names, defused.
    return terminalText(text + took + ": " + outcome.error + ": " + outcome.reason + trace);
}

std::string summaryText(const StationTally& tally, double seconds) {
    return formatString("%u updated, %u current, %u skipped, %u failed in %.1f s", tally.updated,
                        tally.current, tally.skipped, tally.failed, seconds);
}
