#include "UpdateProgress.h"

#include "StringFormat.h"

#include <cmath>

std::string formatByteCount(uint64_t bytes) {
    if (bytes < 1024) {
        return formatString("%llu B", static_cast<unsigned long long>(bytes));
    }
    const double kib = static_cast<double>(bytes) / 1024.0;
    // Below 1 MiB unless the KiB figure would round up to 1024.0.
    if (kib < 1023.95) {
        return formatString("%.1f KiB", kib);
    }
    return formatString("%.1f MiB", kib / 1024.0);
}

std::string formatProgressDetail(uint64_t done, uint64_t total,
                                 std::optional<std::chrono::seconds> left) {
    std::string text = formatByteCount(done) + " of " + formatByteCount(total);
    if (left) {
        const auto seconds = static_cast<long long>(left->count());
        text += formatString(" \u00B7 about %lld:%02lld left", seconds / 60, seconds % 60);
    }
    return text;
}

namespace {
// A day, in seconds.
constexpr double kLongestEstimate = 86400.0;
} // namespace

TimeLeftEstimator::TimeLeftEstimator(ClockFunction clock) : clock_(std::move(clock)) {}

void TimeLeftEstimator::start(uint64_t total) {
    total_ = total;
    started_ = clock_();
    samples_.clear();
    samples_.push_back({started_, 0});
}

void TimeLeftEstimator::sample(uint64_t done) {
    const Clock::time_point now = clock_();
    samples_.push_back({now, done});
    // Keep one sample at least a window old, so that the rate spans a window.
    while (samples_.size() > 2 && now - samples_[1].time >= kWindow) {
        samples_.pop_front();
    }
}

std::optional<std::chrono::seconds> TimeLeftEstimator::timeLeft() const {
    if (samples_.size() < 2) {
        return std::nullopt;
    }
    const Sample& first = samples_.front();
    const Sample& last = samples_.back();
    if (last.time - started_ < kWarmUp || last.done >= total_ || last.done <= first.done ||
        last.time <= first.time) {
        return std::nullopt;
    }
    const double seconds = std::chrono::duration<double>(last.time - first.time).count();
    const double rate = static_cast<double>(last.done - first.done) / seconds;
    const double left = static_cast<double>(total_ - last.done) / rate;
    if (!(left < kLongestEstimate)) {
        return std::nullopt; // nothing a user could wait for
    }
    return std::chrono::seconds(static_cast<long long>(std::ceil(left)));
}
