#pragma once

#include "HeapCounter.h"
#include "SimChild.h"
#include "WireTap.h"

#include <cstdint>
#include <string>
#include <vector>

// The figures of one measurement, made in a process of its own and handed to
// the report as a text file.
namespace bench {

struct Phase {
    std::string name;
    WireTraffic traffic;
    uint64_t measuredNs = 0;
    uint64_t cpuNs = 0;  // the host's CPU time (user and system)
    uint64_t waitNs = 0; // fixed waits the protocol requires beyond the wire time

    // The time no implementation of the protocol can go below.
    uint64_t floorNs() const { return traffic.wireNs + waitNs; }
};

struct Measurement {
    bool ok = false;
    std::string failure;
    uint64_t imageBytes = 0;
    std::vector<Phase> phases;
    double cpuUserSeconds = 0; // the host process, whole run
    double cpuSystemSeconds = 0;
    long maxRssKiB = 0; // the peak resident set of the host process (VmHWM)
    HeapFigures heap;
    // The host's reaction from an answer's last byte read to its next write.
    uint64_t reactionP50Ns = 0;
    uint64_t reactionP90Ns = 0;
    SimVerdict sim;
    // The serial layer's recording of the update (as the updater keeps it),
    // written as a trace file after the update: its size and the time it took.
    bool recorded = false;
    uint64_t traceBytes = 0;
    uint64_t traceWriteNs = 0;

    Phase total() const;
    // The phases named so, added up.
    Phase sum(const std::vector<std::string>& names) const;
};

void writeMeasurement(const std::string& path, const Measurement& measurement);
// Throws std::runtime_error when the file is missing or malformed.
Measurement readMeasurement(const std::string& path);

// The waits of synchronisations (attempts of wireNs wire time each): a 10 ms
// quiet line before the sequence goes out, a 10 ms pause after it that the
// echo's wire time hides in, 10 ms after the match and 10 ms of quiet again.
uint64_t synchronisationWaitNs(uint64_t attempts, uint64_t wireNsPerAttempt);

} // namespace bench
