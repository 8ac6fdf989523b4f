// qrb-bench: how close the updater comes to the line rate, what it costs the
// host per byte, and how long a plugged-in board takes to reach the version
// alert. Every figure comes from a real update of a simulated board; see
// --help.

#include "AwakeCpus.h"
#include "BenchImage.h"
#include "FileDigest.h"
#include "History.h"
#include "LedgerRun.h"
#include "Measurement.h"
#include "RecordWalk.h"
#include "Runs.h"
#include "StationRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <optional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace bench;

constexpr uint32_t kKiB = 1024;
constexpr uint32_t kMiB = 1024 * kKiB;
constexpr uint32_t kPacedSize = kMiB;
constexpr uint32_t kUnpacedSizes[] = {64 * kKiB, kMiB, 8 * kMiB};
// The station's run: this many boards at once, each with an image of this size.
constexpr unsigned kStationBoards[] = {1, 2, 4, 8, 16};
constexpr uint32_t kStationImageSize = 256 * kKiB;
// The goal: the whole update within 5 % of the wire-time bound.
constexpr double kGoal = 0.95;
// The goal through a USB serial converter whose driver granted low latency.
constexpr double kAdapterGoal = 0.93;
// The station's goal: 8 boards at once within this much of one board's time.
constexpr double kStationGoal = 1.10;
// No measurement takes longer than this (the paced ones need about 50 s).
constexpr unsigned kMeasurementLimitSeconds = 240;
// The paced updates whose efficiency is a headline run this often: single
// runs on a shared machine vary by several hundredths, their median far less.
constexpr int kPacedRuns = 3;
// The station's host cost is read at this many boards.
constexpr unsigned kHostCostBoards = 8;

const char* const kSampleResources = QRB_RESOURCE_DIR;

void printHelp() {
    std::printf("Usage: qrb-bench [--let-cpus-idle] [--paced-only [--against OTHER-QRB-BENCH]]\n"
                "Updates simulated QRB boards with generated firmware images and prints:\n"
                "  - a 1 MiB update paced at the real line rates, phase by phase: the bytes\n"
                "    each way, the wire-time bound they need, the floor that the protocol's\n"
                "    own waits add, the measured time and the host's CPU time;\n"
                "  - the same update unpaced for 64 KiB, 1 MiB and 8 MiB images: the host's\n"
                "    CPU time per byte and its peak memory;\n"
                "  - the real application controller: from plugging in the board to the\n"
                "    version alert, and its update caption by caption;\n"
                "  - the paced 1 MiB update through an emulated USB serial converter whose\n"
                "    driver refuses, then grants, the updater's request for low latency:\n"
                "    \"untuned adapter efficiency\" and \"tuned adapter efficiency\";\n"
                "  - the station qrb-flash on 1, 2, 4, 8 and 16 paced boards of a 256 KiB\n"
                "    image at once: the wall time as a ratio of one board's, the CPU of the\n"
                "    station's parent and of its board processes per board, and the peak\n"
                "    memory of a board process; then \"station: 8 boards in X.XX of one\n"
                "    board's time\" and \"station host cost: X.XXX of a core per board at\n"
                "    line rate, Y.YYY of it the one-byte verification writes\";\n"
                "  - the serial trace of each update (the updater records every exchange):\n"
                "    its size, and the paced update's efficiency with and without recording;\n"
                "  - what recording an update in the update history costs: the SHA-256 of\n"
                "    the 1 MiB image and the row's write, in ms per row written;\n"
                "  - the ledger: 10,000 rows forwarded to a PostgreSQL server of the bench's\n"
                "    own over a Unix socket, \"ledger: N rows/s\", and the time to drain a\n"
                "    10,000-row backlog after an outage (alone: qrb-bench --ledger).\n"
                "The paced update and the two through the converter run three times each:\n"
                "their efficiencies are the median, with the minimum and maximum beside it.\n"
                "The last line reads \"line-rate efficiency: X.XXX\": the wire-time bound of\n"
                "the paced update divided by its measured time, the median of three runs.\n"
                "--paced-only runs the three paced updates alone (about three minutes);\n"
                "with --against, another build's qrb-bench runs its own in turn with them,\n"
                "so that both builds see the same machine.\n"
                "Each measurement runs in a process of its own, the simulated board in\n"
                "another; the run takes about five minutes.\n"
                "While it updates a single board paced, every CPU is kept awake by a spinner\n"
                "of the lowest priority (SCHED_IDLE), which gives way at once to any process\n"
                "that wakes: a virtual machine's CPU that halts when idle takes up to\n"
                "milliseconds to wake, and a paced update wakes a process at every answer\n"
                "of the board. The unpaced updates, which measure the host's CPU time, run\n"
                "without them (a spinner on a sibling CPU makes that time dearer), and so\n"
                "do the station's, whose boards keep the CPUs busy by themselves.\n"
                "--let-cpus-idle measures without the spinners.\n");
}

std::string sizeName(uint64_t bytes) {
    char text[32];
    if (bytes % kMiB == 0) {
        std::snprintf(text, sizeof text, "%" PRIu64 " MiB", bytes / kMiB);
    } else {
        std::snprintf(text, sizeof text, "%" PRIu64 " KiB", bytes / kKiB);
    }
    return text;
}

double ms(uint64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

double ratio(uint64_t part, uint64_t whole) {
    return whole == 0 ? 0.0 : static_cast<double>(part) / static_cast<double>(whole);
}

double efficiencyOf(const Measurement& m) {
    const Phase total = m.total();
    return m.ok ? ratio(total.traffic.wireNs, total.measuredNs) : 0.0;
}

// Repeated runs of one measurement: the run of the median efficiency (a
// failed run counts as 0) and the range.
struct Spread {
    const Measurement* median = nullptr;
    double min = 0;
    double max = 0;
};

Spread spreadOf(const std::vector<Measurement>& runs) {
    std::vector<const Measurement*> sorted;
    for (const Measurement& m : runs) {
        sorted.push_back(&m);
    }
    std::sort(sorted.begin(), sorted.end(), [](const Measurement* a, const Measurement* b) {
        return efficiencyOf(*a) < efficiencyOf(*b);
    });
    Spread spread;
    if (!sorted.empty()) {
        spread.median = sorted[sorted.size() / 2];
        spread.min = efficiencyOf(*sorted.front());
        spread.max = efficiencyOf(*sorted.back());
    }
    return spread;
}

// "0.976 (median of 3; min 0.970, max 0.978)"
std::string spreadText(const Spread& spread, size_t runs) {
    char text[96];
    std::snprintf(text, sizeof text, "%.3f (median of %zu; min %.3f, max %.3f)",
                  spread.median != nullptr ? efficiencyOf(*spread.median) : 0.0, runs, spread.min,
                  spread.max);
    return text;
}

// How far programming lies above its floor, per exchange of a block (us).
double programmingAboveFloorUs(const Measurement& m) {
    const Phase program = m.sum({kPhaseProgram});
    if (program.traffic.turnarounds == 0 || program.measuredNs <= program.floorNs()) {
        return 0;
    }
    return ms(program.measuredNs - program.floorNs()) * 1e3 /
           static_cast<double>(program.traffic.turnarounds);
}

unsigned phaseSpeed(const std::string& name) {
    if (name == kPhaseReset) {
        return 115200;
    }
    if (name == kPhaseSync57600 || name == kPhaseVersion || name == kPhaseRamProgram ||
        name == kPhaseRamVerify || name == kPhaseJump) {
        return 57600;
    }
    return 460800;
}

// The one-minute load average of the machine.
std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string value;
    in >> value;
    return value.empty() ? std::string("?") : value;
}

// --- Running the measurements ---------------------------------------------------

// Runs this program again with args; the measurement writes its result file.
// A measurement that fails or does not end in time comes back as a failure.
// program: another build's qrb-bench instead of this one.
Measurement runMeasurement(const std::string& what, std::vector<std::string> args,
                           const fs::path& resultFile,
                           const std::string& program = "/proc/self/exe") {
    std::fprintf(stderr, "qrb-bench: %s\n", what.c_str());
    args.insert(args.begin(), "qrb-bench");
    args.push_back("--result");
    args.push_back(resultFile.string());
    args.push_back("--time-limit");
    args.push_back(std::to_string(kMeasurementLimitSeconds));
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    std::error_code ignored;
    fs::remove(resultFile, ignored);
    std::fflush(nullptr);
    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
    Measurement failed;
    if (error != 0) {
        failed.failure = std::string("cannot run the measurement: ") + std::strerror(error);
        return failed;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
        failed.failure = "no end within " + std::to_string(kMeasurementLimitSeconds) + " s";
        return failed;
    }
    try {
        return readMeasurement(resultFile.string());
    } catch (const std::exception& e) {
        failed.failure = e.what();
        return failed;
    }
}

// --- The report -----------------------------------------------------------------

void printPhaseTable(const std::vector<Phase>& phases, const Phase& total, bool withSpeed) {
    std::printf("%-28s %7s %10s %10s %10s %10s %10s %7s %7s %9s %9s\n", "phase",
                withSpeed ? "baud" : "", "host>board", "board>host", "bound ms", "floor ms",
                "meas. ms", "b/meas", "f/meas", "CPU ms", "syscalls");
    auto row = [&](const Phase& p, const char* speed) {
        std::printf("%-28s %7s %10" PRIu64 " %10" PRIu64 " %10.1f %10.1f %10.1f %7.3f %7.3f %9.1f "
                    "%9" PRIu64 "\n",
                    p.name.c_str(), speed, p.traffic.bytesOut, p.traffic.bytesIn,
                    ms(p.traffic.wireNs), ms(p.floorNs()), ms(p.measuredNs),
                    ratio(p.traffic.wireNs, p.measuredNs), ratio(p.floorNs(), p.measuredNs),
                    ms(p.cpuNs), p.traffic.syscalls());
    };
    for (const Phase& p : phases) {
        row(p, withSpeed ? std::to_string(phaseSpeed(p.name)).c_str() : "");
    }
    row(total, "");
}

void printHostFigures(const Measurement& m) {
    std::printf("host process: CPU %.3f s user + %.3f s system; heap peak %.1f KiB in %" PRIu64
                " allocations; peak RSS %ld KiB\n",
                m.cpuUserSeconds, m.cpuSystemSeconds, static_cast<double>(m.heap.peak) / 1024.0,
                m.heap.allocations, m.maxRssKiB);
    std::printf("host reaction (an answer's last byte read to the next write): median %.1f us, "
                "90th percentile %.1f us\n",
                static_cast<double>(m.reactionP50Ns) / 1e3,
                static_cast<double>(m.reactionP90Ns) / 1e3);
    std::printf("simulated board (its own process): CPU %.3f s; it holds the sealed image: %s\n",
                m.sim.cpuSeconds, m.ok ? "yes" : "NO");
}

bool printPaced(const std::vector<Measurement>& runs) {
    const Spread spread = spreadOf(runs);
    const Measurement& m = *spread.median;
    std::printf("\n== Update of a %s image at the line rates (host functions in the order of the "
                "update), the median of %zu runs ==\n",
                sizeName(m.imageBytes).c_str(), runs.size());
    if (!m.ok) {
        std::printf("FAILED: %s\n", m.failure.c_str());
    }
    const Phase total = m.total();
    printPhaseTable(m.phases, total, true);
    std::printf("bound: every byte costs 10 bits at its line speed, both directions added up: "
                "each exchange is a request\n"
                "  and an answer that needs all of it, so the line never carries both ways at "
                "once (half duplex).\n"
                "floor: the bound plus the waits the protocol itself requires: the connection "
                "worker's two 0.2 s\n"
                "  pauses, the version check's 0.1 s pause, per synchronisation 10 ms of quiet "
                "before, a 10 ms pause\n"
                "  (hiding the echo), 10 ms after the match and 10 ms of quiet after, and the "
                "board's 20 ms wait for\n"
                "  a leading word per record that starts on a word boundary.\n");
    std::printf("total: %.3f s measured, %.3f s bound, %.3f s floor (%.3f s of protocol waits); "
                "synchronisation attempts: %" PRIu64 "\n",
                ms(total.measuredNs) / 1e3, ms(total.traffic.wireNs) / 1e3,
                ms(total.floorNs()) / 1e3, ms(total.waitNs) / 1e3, total.traffic.syncWrites);
    const Phase program = m.sum({kPhaseProgram});
    if (program.traffic.turnarounds > 0 && program.measuredNs > program.floorNs()) {
        std::printf("programming: %.3f s above its floor over %" PRIu64
                    " exchanges (block count, words, checksum): %.0f us per exchange\n",
                    ms(program.measuredNs - program.floorNs()) / 1e3, program.traffic.turnarounds,
                    ms(program.measuredNs - program.floorNs()) * 1e3 /
                        static_cast<double>(program.traffic.turnarounds));
    }
    printHostFigures(m);
    std::printf("the %zu runs:", runs.size());
    bool ok = true;
    for (const Measurement& run : runs) {
        std::printf(" %.3f (programming %.0f us above its floor per exchange)%s", efficiencyOf(run),
                    programmingAboveFloorUs(run), &run == &runs.back() ? "" : ",");
        ok = run.ok && ok;
    }
    std::printf("\nline-rate efficiency %s\n", spreadText(spread, runs.size()).c_str());
    return ok;
}

bool printUnpaced(const std::vector<Measurement>& runs) {
    std::printf("\n== The host's own cost: the same update unpaced (host functions in the order "
                "of the update) ==\n");
    std::printf("%-8s %10s %10s %10s %10s %12s %12s %10s %12s %10s %10s\n", "image", "data B",
                "wire B", "meas. s", "CPU s", "CPU ns/wireB", "CPU ns/dataB", "calls/B",
                "heap peak", "peak RSS", "board CPU");
    bool ok = true;
    for (const Measurement& m : runs) {
        const Phase total = m.total();
        const uint64_t cpu = static_cast<uint64_t>((m.cpuUserSeconds + m.cpuSystemSeconds) * 1e9);
        std::printf("%-8s %10" PRIu64 " %10" PRIu64 " %10.3f %10.3f %12.1f %12.1f %10.3f %8.1f KiB "
                    "%6ld KiB %8.3f s%s\n",
                    sizeName(m.imageBytes).c_str(), m.imageBytes, total.traffic.bytes(),
                    ms(total.measuredNs) / 1e3, static_cast<double>(cpu) / 1e9,
                    ratio(cpu, total.traffic.bytes()), ratio(cpu, m.imageBytes),
                    ratio(total.traffic.syscalls(), total.traffic.bytes()),
                    static_cast<double>(m.heap.peak) / 1024.0, m.maxRssKiB, m.sim.cpuSeconds,
                    m.ok ? "" : "  FAILED");
        if (!m.ok) {
            std::printf("  %s\n", m.failure.c_str());
            ok = false;
        }
    }
    if (!runs.empty()) {
        const Measurement& large = runs.back();
        const Phase program = large.sum({kPhaseProgram});
        const Phase verify = large.sum({kPhaseVerify});
        std::printf("%s, CPU per image byte: programming %.1f ns (%.3f syscalls per byte), "
                    "verification %.1f ns (%.3f syscalls per byte)\n",
                    sizeName(large.imageBytes).c_str(), ratio(program.cpuNs, large.imageBytes),
                    ratio(program.traffic.syscalls(), large.imageBytes),
                    ratio(verify.cpuNs, large.imageBytes),
                    ratio(verify.traffic.syscalls(), large.imageBytes));
    }
    std::printf("CPU: the whole host process (getrusage); heap: operator new, peak during the "
                "update; peak RSS: VmHWM;\nwire B: bytes both ways; calls/B: reads, writes and "
                "readiness waits on the port per wire byte.\n");
    return ok;
}

bool printApplication(const Measurement& m, const Measurement* sequence) {
    std::printf("\n== The real application controller on the test platform, paced, %s image ==\n",
                sizeName(m.imageBytes).c_str());
    if (!m.ok) {
        std::printf("FAILED: %s\n", m.failure.c_str());
    }
    if (m.phases.empty()) {
        return false;
    }
    const Phase& plug = m.phases.front();
    std::printf("plug-in to version alert: %.1f ms measured, floor %.1f ms = pauses %.1f ms "
                "(0.2 s + 0.2 s + 0.1 s) + synchronisation waits %.1f ms + wire %.1f ms "
                "(%" PRIu64 " bytes); floor/measured %.3f\n",
                ms(plug.measuredNs), ms(plug.floorNs()), ms(kPlugInPausesNs),
                ms(plug.waitNs - kPlugInPausesNs), ms(plug.traffic.wireNs), plug.traffic.bytes(),
                ratio(plug.floorNs(), plug.measuredNs));
    const std::vector<Phase> steps(m.phases.begin() + 1, m.phases.end());
    Phase update;
    update.name = "update (first caption to final alert)";
    for (const Phase& p : steps) {
        update.traffic += p.traffic;
        update.measuredNs += p.measuredNs;
        update.cpuNs += p.cpuNs;
        update.waitNs += p.waitNs;
    }
    printPhaseTable(steps, update, false);
    if (sequence != nullptr && sequence->ok) {
        const Phase same =
            sequence->sum({kPhaseRamProgram, kPhaseRamVerify, kPhaseJump, kPhaseSync460800,
                           kPhaseUnseal, kPhaseProgram, kPhaseVerify, kPhaseSeal});
        std::printf("the same steps in the paced run of the functions below: %.1f ms; "
                    "difference %+.1f ms (run-to-run variation included)\n",
                    ms(same.measuredNs), ms(update.measuredNs) - ms(same.measuredNs));
    }
    std::printf("CPU: the host process (controller, test platform and workers)\n");
    printHostFigures(m);
    return m.ok;
}

// The paced update through a USB serial converter, with the driver refusing
// the updater's request for low latency and with it granting it, each the
// median of its runs.
bool printAdapterRuns(const std::vector<Measurement>& untunedRuns,
                      const std::vector<Measurement>& tunedRuns) {
    std::printf("\n== The same paced update through a USB serial converter (ftdi_sio model), the "
                "median of %zu runs each ==\n"
                "The converter's chip holds the board's bytes until 62 wait or its latency "
                "timer runs out since the\n"
                "first of them; the timer is what the updater's request left in the driver's "
                "latency_timer attribute.\n",
                untunedRuns.size());
    const Spread untunedSpread = spreadOf(untunedRuns);
    const Spread tunedSpread = spreadOf(tunedRuns);
    const Measurement& untuned = *untunedSpread.median;
    const Measurement& tuned = *tunedSpread.median;
    const struct {
        const Measurement& m;
        const char* title;
    } runs[] = {{untuned, "untuned: the driver refuses ASYNC_LOW_LATENCY, the timer stays 16 ms"},
                {tuned, "tuned: the driver grants ASYNC_LOW_LATENCY, the timer is 1 ms"}};
    for (const auto& run : runs) {
        std::printf("\n-- %s --\n", run.title);
        if (!run.m.ok) {
            std::printf("FAILED: %s\n", run.m.failure.c_str());
        }
        const Phase total = run.m.total();
        printPhaseTable(run.m.phases, total, true);
        std::printf("total: %.3f s measured, %.3f s bound, %.3f s floor\n",
                    ms(total.measuredNs) / 1e3, ms(total.traffic.wireNs) / 1e3,
                    ms(total.floorNs()) / 1e3);
    }
    const double saved = ms(untuned.total().measuredNs) - ms(tuned.total().measuredNs);
    std::printf("\nthe request saves %.3f s of %.3f s; goal for the tuned adapter: %.3f or more: "
                "%s\n",
                saved / 1e3, ms(untuned.total().measuredNs) / 1e3, kAdapterGoal,
                efficiencyOf(tuned) >= kAdapterGoal ? "met" : "MISSED");
    std::printf("untuned adapter efficiency: %s\n",
                spreadText(untunedSpread, untunedRuns.size()).c_str());
    std::printf("tuned adapter efficiency: %s\n",
                spreadText(tunedSpread, tunedRuns.size()).c_str());
    bool ok = true;
    for (const auto* group : {&untunedRuns, &tunedRuns}) {
        for (const Measurement& m : *group) {
            ok = m.ok && ok;
        }
    }
    return ok;
}

// What the serial layer's recording costs: the trace of each update, and the
// paced update with and without the recording.
bool printRecording(const Measurement& recorded, const Measurement& unrecorded,
                    const std::vector<Measurement>& unpaced) {
    std::printf("\n== The serial trace: every update is recorded, as the updater does ==\n");
    constexpr uint64_t kTraceLimit = uint64_t{40} << 20; // for the 8 MiB update
    bool ok = true;
    for (const Measurement& m : unpaced) {
        if (!m.recorded) {
            continue;
        }
        const uint64_t wire = m.total().traffic.bytes();
        std::printf(
            "trace of the %s update: %" PRIu64 " bytes (%.2f per wire byte), written in "
            "%.1f ms%s\n",
            sizeName(m.imageBytes).c_str(), m.traceBytes, ratio(m.traceBytes, wire),
            ms(m.traceWriteNs),
            m.imageBytes == 8 * kMiB
                ? (m.traceBytes < kTraceLimit ? "; limit 40 MiB: within" : "; limit 40 MiB: OVER")
                : "");
        if (m.imageBytes == 8 * kMiB && m.traceBytes >= kTraceLimit) {
            ok = false;
        }
    }
    std::printf("paced %s update: trace %" PRIu64 " bytes; heap peak %.1f KiB recorded, %.1f KiB "
                "not recorded\n",
                sizeName(recorded.imageBytes).c_str(), recorded.traceBytes,
                static_cast<double>(recorded.heap.peak) / 1024.0,
                static_cast<double>(unrecorded.heap.peak) / 1024.0);
    std::printf("efficiency with recording %.3f, without %.3f (difference %+.3f; goal: no drop of "
                "more than 0.002, run-to-run variation included)\n",
                efficiencyOf(recorded), efficiencyOf(unrecorded),
                efficiencyOf(recorded) - efficiencyOf(unrecorded));
    return ok && unrecorded.ok;
}

// What recording one update costs: the image's SHA-256 and one row appended
// to a history (each row in a fresh connection, as every updater process
// writes its one row), the median of kRows, and the first row of a new file.
bool printHistoryCost(const fs::path& dir, const fs::path& image) {
    constexpr int kRows = 40;
    using Clock = std::chrono::steady_clock;
    auto msSince = [](Clock::time_point start) {
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    };
    const std::string path = (dir / "history-cost" / "history.db").string();
    AttemptRecord record;
    record.front = AttemptFront::Station;
    record.tty = "/dev/ttyUSB0";
    record.port = "pci-0000:00:14.0-usb-0:2:1.0";
    record.serial = "QRB00042";
    record.versionRead = "1.2.2";
    record.versionCase = AttemptCase::Older;
    record.imageVersion = "1.2.3";
    record.result = AttemptResult::Updated;
    record.seconds = 48.3;

    Clock::time_point start = Clock::now();
    record.imageSha256 = sha256OfFile(image.string());
    const double hashMs = msSince(start);
    std::vector<double> rows;
    double firstMs = 0;
    bool ok = record.imageSha256.has_value();
    for (int i = 0; i <= kRows; ++i) {
        record.time = std::chrono::system_clock::now();
        start = Clock::now();
        ok = recordAttempt(record, path) && ok;
        const double ms = msSince(start);
        if (i == 0) {
            firstMs = ms;
        } else {
            rows.push_back(ms);
        }
    }
    std::sort(rows.begin(), rows.end());
    std::printf("\n== Recording an update in the update history ==\n");
    std::printf("SHA-256 of the %s image: %.1f ms; first row of a new history file: %.1f ms\n",
                sizeName(kPacedSize).c_str(), hashMs, firstMs);
    std::printf("each row committed with a full sync, written beside the final alert (the "
                "user waits for none of it)%s\n",
                ok ? "" : "; FAILED to write");
    std::printf("update history: %.2f ms per row written (median of %d; slowest %.2f ms)\n",
                rows[rows.size() / 2], kRows, rows.back());
    return ok;
}

StationFigures runStationMeasurement(unsigned boards, const std::vector<std::string>& args,
                                     const fs::path& resultFile) {
    const Measurement ran = runMeasurement(
        "the station on " + std::to_string(boards) + " paced boards at once", args, resultFile);
    StationFigures figures;
    try {
        figures = readStationFigures(resultFile.string());
    } catch (const std::exception& e) {
        figures.failure = ran.failure.empty() ? e.what() : ran.failure;
    }
    figures.boards = boards;
    return figures;
}

// boardAlone: the paced update of the station's image by the host's
// functions alone, whose verification steps show what the one-byte writes
// cost.
bool printStationRuns(const std::vector<StationFigures>& runs, const Measurement& boardAlone) {
    std::printf("\n== The station qrb-flash, paced boards of a %s image at once ==\n",
                sizeName(kStationImageSize).c_str());
    std::printf("%-7s %9s %14s %17s %19s %20s\n", "boards", "wall s", "of one board's",
                "parent CPU/board", "children CPU/board", "peak RSS per child");
    bool ok = true;
    double one = 0;
    double eight = 0;
    const StationFigures* costRun = nullptr;
    for (const StationFigures& run : runs) {
        if (!run.ok) {
            std::printf("%-7u FAILED: %s\n", run.boards, run.failure.c_str());
            ok = false;
            continue;
        }
        if (run.boards == 1) {
            one = run.wallSeconds;
        }
        const double ratioToOne = one > 0 ? run.wallSeconds / one : 0;
        if (run.boards == 8) {
            eight = ratioToOne;
        }
        if (run.boards == kHostCostBoards) {
            costRun = &run;
        }
        std::printf("%-7u %9.2f %14.2f %15.3f s %17.3f s %16ld KiB\n", run.boards, run.wallSeconds,
                    ratioToOne, run.parentCpuSeconds / run.boards,
                    run.childrenCpuSeconds / run.boards, run.childPeakRssKiB);
    }
    std::printf("goal: 8 boards within %.2f of one board's time: %s\n", kStationGoal,
                eight > 0 && eight <= kStationGoal ? "met" : "MISSED");
    std::printf("station: 8 boards in %.2f of one board's time\n", eight);

    // What a station costs the host: the CPU of the parent and the board
    // processes per board, over the time one board takes at the line rates.
    const Phase verification = boardAlone.sum({kPhaseRamVerify, kPhaseVerify});
    const double verifySeconds = ms(verification.cpuNs) / 1e3;
    const Phase programming = boardAlone.sum({kPhaseRamProgram, kPhaseProgram});
    const double programSeconds = ms(programming.cpuNs) / 1e3;
    const double perBoard =
        costRun != nullptr
            ? (costRun->parentCpuSeconds + costRun->childrenCpuSeconds) / kHostCostBoards
            : 0;
    const double cost = one > 0 ? perBoard / one : 0;
    const double verifyCost = one > 0 && boardAlone.ok ? verifySeconds / one : 0;
    std::printf("host cost at %u boards: %.3f s of CPU per board (parent and board process) over "
                "one board's %.2f s;\n"
                "  the verification steps of one board (a write of one byte per image byte, as "
                "the protocol has it)\n"
                "  take %.3f s of CPU in the paced update of the same image by the host's "
                "functions alone (%" PRIu64 " writes);\n"
                "  the rest, %.3f of a core per board: goal 0.015 or less: %s\n",
                kHostCostBoards, perBoard, one, verifySeconds, verification.traffic.writeCalls,
                cost - verifyCost, cost > 0 && cost - verifyCost <= 0.015 ? "met" : "MISSED");
    if (one > 0 && boardAlone.ok) {
        // Everything else (the parent, a board process's own machinery, its
        // history row) is smaller than the difference between two runs, so
        // that it may come out below 0.
        const double elsewhere = cost - verifyCost - programSeconds / one;
        std::printf("  of the rest, programming's writes of a word each (%" PRIu64
                    ", as the protocol has them too) %.3f, everything else %.3f%s\n",
                    programming.traffic.writeCalls, programSeconds / one, elsewhere,
                    elsewhere < 0.002 ? " (within the variation between runs)" : "");
    }
    std::printf("station host cost: %.3f of a core per board at line rate, %.3f of it the "
                "one-byte verification writes\n",
                cost, verifyCost);
    return ok && boardAlone.ok;
}

// The extra read an update makes of its two images before it touches the
// board, the median of several, against the paced update that includes it.
void printProving(const std::string& image, const std::string& ramBootloader,
                  const Measurement& paced) {
    constexpr int kRounds = 9;
    std::vector<uint64_t> took;
    for (int i = 0; i < kRounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        proveImageFile(ramBootloader.c_str());
        proveImageFile(image.c_str());
        took.push_back(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count()));
    }
    std::sort(took.begin(), took.end());
    const uint64_t median = took[took.size() / 2];
    const Phase total = paced.total();
    std::printf("\n== Proving the images before the board is touched ==\n"
                "the RAM bootloader and the %s image read through the record walk: median %.1f ms "
                "of %d rounds (page cache warm), %.4f of the paced update's %.3f s; without it "
                "the efficiency would be at most %.4f higher\n",
                sizeName(kPacedSize).c_str(), ms(median), kRounds, ratio(median, total.measuredNs),
                ms(total.measuredNs) / 1e3,
                paced.ok ? ratio(total.traffic.wireNs, total.measuredNs - median) -
                               ratio(total.traffic.wireNs, total.measuredNs)
                         : 0.0);
}

std::string cpusNote(long cpus, const std::optional<AwakeCpus>& awake) {
    if (!awake) {
        return std::to_string(cpus) + " CPUs left to idle";
    }
    if (awake->count() == 0) {
        return std::to_string(cpus) + " CPUs left to idle: the idle policy was refused";
    }
    return std::to_string(cpus) + " CPUs, " + std::to_string(awake->count()) +
           " kept awake at idle priority for the single board's paced updates";
}

// pacedOnly: the paced update alone; against: another build's qrb-bench,
// whose paced updates alternate with this build's; keepAwake: every CPU
// kept from halting while the runs measure.
int runDriver(bool pacedOnly, const std::string& against, bool keepAwake) {
    char pattern[] = "/tmp/qrb-bench-XXXXXX";
    const char* tmp = ::mkdtemp(pattern);
    if (tmp == nullptr) {
        std::perror("qrb-bench: mkdtemp");
        return 1;
    }
    const fs::path dir = tmp;
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    } cleanup{dir};
    // The application's runs record their attempts here, not in the user's
    // history.
    ::setenv("QRB_HISTORY", (dir / "history.db").c_str(), 1);

    const fs::path ramBootloader = fs::path(kSampleResources) / "QRB_RAM_Bootloader.sc";
    auto imagePath = [&](uint32_t size) {
        return dir / ("firmware-" + std::to_string(size) + ".sc");
    };
    auto flashSize = [](uint32_t size) {
        return std::to_string(flashSizeFor(benchImageLayout(size)));
    };
    std::vector<uint32_t> sizes(std::begin(kUnpacedSizes), std::end(kUnpacedSizes));
    for (uint32_t size : sizes) {
        writeBenchImage(imagePath(size).string(), size);
    }

    // The application's resource directory: the configuration (image version
    // 1.2.3) and the two images it names.
    const fs::path resources = dir / "resources";
    fs::create_directory(resources);
    fs::copy_file(ramBootloader, resources / "QRB_RAM_Bootloader.sc");
    fs::create_symlink(imagePath(kPacedSize), resources / "QRB_Firmware.sc");
    writeBenchConfiguration((resources / "QRB_Image.plist").string());

    auto sequenceArgs = [&](uint32_t size, bool pace) {
        return std::vector<std::string>{"--measure",
                                        "sequence",
                                        pace ? "--paced" : "--unpaced",
                                        "--image",
                                        imagePath(size).string(),
                                        "--ram-bootloader",
                                        ramBootloader.string(),
                                        "--flash-size",
                                        flashSize(size)};
    };
    const fs::path result = dir / "result";

    const std::string loadBefore = loadAverage();
    // The single board's paced updates run with the CPUs awake. Not the
    // unpaced ones, which measure the host's CPU time: a spinner on the
    // other CPU made this one's work dearer, by a third on the build
    // machine. Nor the station's, whose boards keep the CPUs busy by
    // themselves.
    std::optional<AwakeCpus> awake;
    const long cpuCount = ::sysconf(_SC_NPROCESSORS_ONLN);
    auto pacedRuns = [&](const std::string& what, const std::vector<std::string>& args) {
        std::vector<Measurement> runs;
        for (int i = 1; i <= kPacedRuns; ++i) {
            runs.push_back(runMeasurement(what + ", run " + std::to_string(i) + " of " +
                                              std::to_string(kPacedRuns),
                                          args, result));
        }
        return runs;
    };
    if (pacedOnly) {
        if (keepAwake) {
            awake.emplace();
        }
        std::vector<Measurement> paced;
        std::vector<Measurement> other;
        for (int i = 1; i <= kPacedRuns; ++i) {
            const std::string what = "paced update, " + sizeName(kPacedSize) + " image, run " +
                                     std::to_string(i) + " of " + std::to_string(kPacedRuns);
            paced.push_back(runMeasurement(what, sequenceArgs(kPacedSize, true), result));
            if (!against.empty()) {
                other.push_back(runMeasurement(what + " by " + against,
                                               sequenceArgs(kPacedSize, true), result, against));
            }
        }
        std::printf("qrb-bench: the paced update alone (%s; load average %s before, %s "
                    "after)\n",
                    cpusNote(cpuCount, awake).c_str(), loadBefore.c_str(), loadAverage().c_str());
        if (!against.empty()) {
            std::printf("\n== The same by %s, its runs alternating with this build's ==\n",
                        against.c_str());
            printPaced(other);
            std::printf("\n== This build ==\n");
        }
        const bool ok = printPaced(paced);
        const Spread spread = spreadOf(paced);
        std::printf("line-rate efficiency: %.3f\n", efficiencyOf(*spread.median));
        return ok ? 0 : 1;
    }
    std::vector<Measurement> unpaced;
    for (uint32_t size : sizes) {
        unpaced.push_back(runMeasurement("unpaced update, " + sizeName(size) + " image",
                                         sequenceArgs(size, false), result));
    }
    if (keepAwake) {
        awake.emplace();
    }
    const std::string cpus = cpusNote(cpuCount, awake);
    const Measurement application = runMeasurement(
        "the application controller, paced, " + sizeName(kPacedSize) + " image (about 50 s)",
        {"--measure", "application", "--paced", "--resources", resources.string(), "--image",
         imagePath(kPacedSize).string(), "--ram-bootloader", ramBootloader.string(), "--flash-size",
         flashSize(kPacedSize)},
        result);
    const std::vector<Measurement> paced =
        pacedRuns("paced update, " + sizeName(kPacedSize) + " image (about 50 s)",
                  sequenceArgs(kPacedSize, true));
    const Measurement& pacedMedian = *spreadOf(paced).median;
    std::vector<std::string> unrecordedArgs = sequenceArgs(kPacedSize, true);
    unrecordedArgs.push_back("--no-record");
    const Measurement unrecorded = runMeasurement("paced update, " + sizeName(kPacedSize) +
                                                      " image, not recorded (about 50 s)",
                                                  unrecordedArgs, result);
    std::vector<std::string> untunedArgs = sequenceArgs(kPacedSize, true);
    untunedArgs.insert(untunedArgs.end(), {"--adapter", "ftdi", "--driver-refuses"});
    const std::vector<Measurement> untuned = pacedRuns(
        "paced update through an emulated USB serial converter, low latency refused (about 65 s)",
        untunedArgs);
    std::vector<std::string> tunedArgs = sequenceArgs(kPacedSize, true);
    tunedArgs.insert(tunedArgs.end(), {"--adapter", "ftdi"});
    const std::vector<Measurement> tuned = pacedRuns(
        "paced update through an emulated USB serial converter, low latency granted (about 50 s)",
        tunedArgs);

    awake.reset();
    writeBenchImage(imagePath(kStationImageSize).string(), kStationImageSize);
    const Measurement stationBoardAlone =
        runMeasurement("paced update, " + sizeName(kStationImageSize) +
                           " image, as one board of the station (about 15 s)",
                       sequenceArgs(kStationImageSize, true), result);
    std::vector<StationFigures> station;
    for (unsigned boards : kStationBoards) {
        station.push_back(runStationMeasurement(
            boards,
            {"--measure", "station", "--boards", std::to_string(boards), "--image",
             imagePath(kStationImageSize).string(), "--ram-bootloader", ramBootloader.string(),
             "--flash-size", flashSize(kStationImageSize)},
            result));
    }

    std::printf("qrb-bench: the updater against the simulated QRB board (%s; load average "
                "%s before, %s after)\n",
                cpus.c_str(), loadBefore.c_str(), loadAverage().c_str());
    bool ok = printUnpaced(unpaced);
    ok = printApplication(application, &pacedMedian) && ok;
    ok = printPaced(paced) && ok;
    const Phase total = pacedMedian.total();
    const double efficiency = efficiencyOf(pacedMedian);
    std::printf("goal: within 5 %% of the wire-time bound (efficiency %.3f or more): %s; "
                "floor/measured %.3f\n",
                kGoal, efficiency >= kGoal ? "met" : "MISSED",
                ratio(total.floorNs(), total.measuredNs));
    ok = printAdapterRuns(untuned, tuned) && ok;
    printProving(imagePath(kPacedSize).string(), ramBootloader.string(), pacedMedian);
    ok = printStationRuns(station, stationBoardAlone) && ok;
    ok = printRecording(pacedMedian, unrecorded, unpaced) && ok;
    ok = printHistoryCost(dir, imagePath(kPacedSize)) && ok;
    ok = printLedgerRun(dir) && ok;
    std::printf("line-rate efficiency: %.3f\n", efficiency);
    return ok ? 0 : 1;
}

// --- One measurement, in this process --------------------------------------------

int runOneMeasurement(int argc, char** argv) {
    std::string kind;
    std::string resultFile;
    RunOptions options;
    unsigned stationBoards = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                throw std::invalid_argument(arg + " needs a value");
            }
            return argv[++i];
        };
        if (arg == "--measure") {
            kind = value();
        } else if (arg == "--result") {
            resultFile = value();
        } else if (arg == "--paced") {
            options.pace = true;
        } else if (arg == "--unpaced") {
            options.pace = false;
        } else if (arg == "--image") {
            options.firmwareImage = value();
        } else if (arg == "--ram-bootloader") {
            options.ramBootloaderImage = value();
        } else if (arg == "--resources") {
            options.resourceDir = value();
        } else if (arg == "--flash-size") {
            options.flashSize = std::stoul(value());
        } else if (arg == "--adapter") {
            const std::string model = value();
            const auto parsed = qrbsim::parseAdapterModel(model);
            if (!parsed) {
                throw std::invalid_argument("unknown adapter \"" + model + "\"");
            }
            options.adapter = *parsed;
        } else if (arg == "--boards") {
            stationBoards = static_cast<unsigned>(std::stoul(value()));
        } else if (arg == "--no-record") {
            options.record = false;
        } else if (arg == "--driver-refuses") {
            options.driverGrantsLowLatency = false;
        } else if (arg == "--time-limit") {
            // Ends this process and, with it, the simulated board's.
            ::alarm(static_cast<unsigned>(std::stoul(value())));
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (resultFile.empty()) {
        throw std::invalid_argument("--result is missing");
    }
    if (kind == "station") {
        writeStationFigures(resultFile,
                            measureStation({stationBoards, options.firmwareImage,
                                            options.ramBootloaderImage, options.flashSize}));
        return 0;
    }
    Measurement m;
    if (kind == "sequence") {
        m = measureUpdateSequence(options);
    } else if (kind == "application") {
        m = measureApplication(options);
    } else {
        throw std::invalid_argument("unknown measurement \"" + kind + "\"");
    }
    writeMeasurement(resultFile, m);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
            printHelp();
            return 0;
        }
        // The driver's own option, wherever it stands; a measurement's
        // arguments (--measure ...) are its own.
        bool keepAwake = true;
        std::vector<char*> args(argv, argv + argc + 1);
        if (argc >= 2 && std::strcmp(argv[1], "--measure") != 0) {
            const auto idle = std::find_if(args.begin() + 1, args.end() - 1, [](const char* arg) {
                return std::strcmp(arg, "--let-cpus-idle") == 0;
            });
            if (idle != args.end() - 1) {
                keepAwake = false;
                args.erase(idle);
                argc -= 1;
                argv = args.data();
            }
        }
        if (argc >= 2 && std::strcmp(argv[1], "--paced-only") == 0) {
            if (argc == 4 && std::strcmp(argv[2], "--against") == 0) {
                return runDriver(true, argv[3], keepAwake);
            }
            if (argc != 2) {
                throw std::invalid_argument("--paced-only takes only --against QRB-BENCH");
            }
            return runDriver(true, {}, keepAwake);
        }
        if (argc == 2 && std::strcmp(argv[1], "--ledger") == 0) {
            return printLedgerRun(std::filesystem::temp_directory_path()) ? 0 : 1;
        }
        if (argc > 1) {
            return runOneMeasurement(argc, argv);
        }
        return runDriver(false, {}, keepAwake);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qrb-bench: %s\n", e.what());
        return 1;
    }
}
