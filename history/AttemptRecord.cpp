#include "AttemptRecord.h"

#include <ctime>

const char* attemptFrontName(AttemptFront front) {
    switch (front) {
    case AttemptFront::Desktop:
        return "desktop";
    case AttemptFront::Station:
        return "station";
    }
    return "desktop";
}

const char* attemptCaseName(AttemptCase versionCase) {
    switch (versionCase) {
    case AttemptCase::Older:
        return "older";
    case AttemptCase::Corrupt:
        return "corrupt";
    case AttemptCase::Same:
        return "same";
    case AttemptCase::Newer:
        return "newer";
    }
    return "older";
}

const char* attemptResultName(AttemptResult result) {
    switch (result) {
    case AttemptResult::Updated:
        return "updated";
    case AttemptResult::Failed:
        return "failed";
    case AttemptResult::Current:
        return "current";
    case AttemptResult::Skipped:
        return "skipped";
    case AttemptResult::Declined:
        return "declined";
    }
    return "failed";
}

std::string formatHistoryTime(std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
