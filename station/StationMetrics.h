#pragma once

#include "BoardOutcome.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

// What the station's metrics page counts: the boards that ended, by result,
// and how long they took. The page itself (the Prometheus text format) adds
// what the station knows at the moment it is read.
class StationMetrics {
  public:
    // The histogram's upper bounds, in seconds (the last bucket, +Inf, is
    // implied).
    static constexpr std::array<double, 10> kBuckets{1, 2, 5, 10, 20, 30, 60, 120, 180, 300};

    void boardEnded(BoardResult result, double seconds);

    // The page: attempts by result, their duration, the boards running now,
    // the ledger's backlog (only when there is a ledger) and the build.
    std::string page(std::size_t running, std::optional<std::uint64_t> ledgerBacklog,
                     const std::string& version) const;

  private:
    std::array<std::uint64_t, 4> attempts_{}; // by BoardResult
    std::array<std::uint64_t, kBuckets.size()> buckets_{};
    std::uint64_t count_ = 0;
    double sum_ = 0;
};
