#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

// What the busy panel shows below its bar during a step that sends data.

// A byte count with unit B, KiB or MiB: "512 B", "12.5 KiB", "1.0 MiB".
std::string formatByteCount(uint64_t bytes);

// "<done> of <total>", followed by " · about M:SS left" when left is known.
std::string formatProgressDetail(uint64_t done, uint64_t total,
                                 std::optional<std::chrono::seconds> left);

// Estimates the time a step has left from the rate of its recent samples.
// The clock is injectable; without one it is the steady clock.
class TimeLeftEstimator {
  public:
    using Clock = std::chrono::steady_clock;
    using ClockFunction = std::function<Clock::time_point()>;

    // A rate is known once the step has run this long.
    static constexpr auto kWarmUp = std::chrono::seconds(2);
    // The rate is taken over about this much of the recent past.
    static constexpr auto kWindow = std::chrono::seconds(5);

    explicit TimeLeftEstimator(ClockFunction clock = Clock::now);

    // A new step of total bytes starts now, with none done.
    void start(uint64_t total);
    // done bytes of the step are done now.
    void sample(uint64_t done);
    // The time left, rounded up to whole seconds: none until a rate is known,
    // while nothing moves, and once everything is done.
    std::optional<std::chrono::seconds> timeLeft() const;

  private:
    struct Sample {
        Clock::time_point time;
        uint64_t done;
    };
    ClockFunction clock_;
    uint64_t total_ = 0;
    Clock::time_point started_{};
    std::deque<Sample> samples_;
};
