#pragma once

#include <cstdint>
#include <string>

// The station's run on many simulated boards at once: the station (its
// parent in this process, one child process per board) against boards in
// processes of their own, paced at the line rates.
namespace bench {

struct StationFigures {
    bool ok = false;
    std::string failure;
    unsigned boards = 0;
    unsigned updated = 0;  // boards the station reported updated
    unsigned verified = 0; // boards that hold the sealed image at the end
    double wallSeconds = 0;
    double parentCpuSeconds = 0;   // the station's parent, user and system
    double childrenCpuSeconds = 0; // its board processes, all together
    long childPeakRssKiB = 0;      // the largest peak resident set of a board process
};

struct StationRunOptions {
    unsigned boards = 1;
    std::string firmwareImage;
    std::string ramBootloaderImage;
    size_t flashSize = 1u << 20;
};

// Runs the station once with --port for each board; the figures of this
// process's station and its children. Create no thread before: it forks.
StationFigures measureStation(const StationRunOptions& options);

void writeStationFigures(const std::string& path, const StationFigures& figures);
// Throws std::runtime_error when the file is missing or malformed.
StationFigures readStationFigures(const std::string& path);

} // namespace bench
