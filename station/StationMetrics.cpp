#include "StationMetrics.h"

#include "StringFormat.h"

namespace {

// A label value with the format's escapes.
std::string labelValue(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else if (c == '\n') {
            escaped += "\\n";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string number(double value) {
    return formatString("%.17g", value);
}

} // namespace

void StationMetrics::boardEnded(BoardResult result, double seconds) {
    ++attempts_.at(static_cast<std::size_t>(result));
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        if (seconds <= kBuckets[i]) {
            ++buckets_[i];
        }
    }
    ++count_;
    sum_ += seconds;
}

std::string StationMetrics::page(std::size_t running, std::optional<std::uint64_t> ledgerBacklog,
                                 const std::string& version) const {
    std::string text;
    text += "# HELP qrb_flash_attempts_total Boards that have ended, by result.\n"
            "# TYPE qrb_flash_attempts_total counter\n";
    for (BoardResult result :
         {BoardResult::Updated, BoardResult::Current, BoardResult::Skipped, BoardResult::Failed}) {
        text += formatString(
            "qrb_flash_attempts_total{result=\"%s\"} %llu\n", boardResultName(result),
            static_cast<unsigned long long>(attempts_.at(static_cast<std::size_t>(result))));
    }
    text += "# HELP qrb_flash_attempt_duration_seconds How long a board took, from its start to "
            "its result.\n"
            "# TYPE qrb_flash_attempt_duration_seconds histogram\n";
    for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        text +=
            formatString("qrb_flash_attempt_duration_seconds_bucket{le=\"%s\"} %llu\n",
                         number(kBuckets[i]).c_str(), static_cast<unsigned long long>(buckets_[i]));
    }
    text += formatString("qrb_flash_attempt_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
                         static_cast<unsigned long long>(count_));
    text += "qrb_flash_attempt_duration_seconds_sum " + number(sum_) + "\n";
    text += formatString("qrb_flash_attempt_duration_seconds_count %llu\n",
                         static_cast<unsigned long long>(count_));
    text += "# HELP qrb_flash_boards_running Boards being updated now.\n"
            "# TYPE qrb_flash_boards_running gauge\n";
    text += formatString("qrb_flash_boards_running %zu\n", running);
    if (ledgerBacklog) {
        text += "# HELP qrb_flash_ledger_backlog_rows History rows waiting to be sent to the "
                "ledger.\n"
                "# TYPE qrb_flash_ledger_backlog_rows gauge\n";
        text += formatString("qrb_flash_ledger_backlog_rows %llu\n",
                             static_cast<unsigned long long>(*ledgerBacklog));
    }
    text += "# HELP qrb_flash_build_info The station's version.\n"
            "# TYPE qrb_flash_build_info gauge\n";
    text += "qrb_flash_build_info{version=\"" + labelValue(version) + "\"} 1\n";
    return text;
}
