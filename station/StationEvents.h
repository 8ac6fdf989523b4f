#pragma once

#include "BoardOutcome.h"

#include <cstdint>
#include <optional>
#include <string>

// The station's lines. Each event is one JSON object on one line; a child
// writes its board's events to its pipe in this form, and the parent passes
// them on (with --json) or turns them into text for a person.

struct StationTally {
    unsigned updated = 0;
    unsigned current = 0;
    unsigned skipped = 0;
    unsigned failed = 0;

    void count(BoardResult result);
    unsigned total() const { return updated + current + skipped + failed; }
};

// {"event":"found","tty":…,"port":…,"serial":…}
std::string foundEvent(const BoardIdentity& board);
// {"event":"version","tty":…,"version":"1.2.2","case":"older"}; no version
// for a board with corrupt or missing firmware.
std::string versionEvent(const std::string& tty, const std::optional<std::string>& version,
                         VersionCase versionCase);
// {"event":"progress","tty":…,"step":…,"done":…,"total":…}; total only when
// known.
std::string progressEvent(const std::string& tty, const std::string& step, std::uint64_t done,
                          std::optional<std::uint64_t> total);
// {"event":"result",…}: from only when a version was read, to only when
// updated, error, reason and step only on failures.
std::string resultEvent(const BoardOutcome& outcome);
// {"event":"summary","updated":…,"current":…,"skipped":…,"failed":…,"seconds":…}
std::string summaryEvent(const StationTally& tally, double seconds);

// The outcome in a result line; none when line is not one.
std::optional<BoardOutcome> parseResultEvent(const std::string& line);
// What a progress line tells; none when line is not one.
struct ProgressLine {
    std::string step;
    std::uint64_t done = 0;
    std::optional<std::uint64_t> total;
};
std::optional<ProgressLine> parseProgressEvent(const std::string& line);

// Between a board's process and the parent only, never passed on:
// {"event":"ending"}, sent before the process writes its board's trace and
// row (from then on the parent lets it finish them), and
// {"event":"warning","kind":…,"text":…}, a warning beside the update (kind
// "history" or "trace"), which the parent shows once per kind and run.
std::string endingEvent();
bool isEndingEvent(const std::string& line);
std::string warningEvent(const std::string& kind, const std::string& text);
struct WarningLine {
    std::string kind;
    std::string text;
};
std::optional<WarningLine> parseWarningEvent(const std::string& line);

// For a person: one line per board as it ends, and the summary.
std::string resultText(const BoardOutcome& outcome);
std::string summaryText(const StationTally& tally, double seconds);
// "/dev/ttyUSB0 (pci-0000:00:14.0-usb-0:2:1.0, QRB00042)"
std::string boardName(const BoardIdentity& board);
