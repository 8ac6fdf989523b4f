#include "Measurement.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bench {

namespace {

constexpr uint64_t kMs = 1'000'000;

void add(Phase& into, const Phase& phase) {
    into.traffic += phase.traffic;
    into.measuredNs += phase.measuredNs;
    into.cpuNs += phase.cpuNs;
    into.waitNs += phase.waitNs;
}

// Names may hold spaces; they are written last on their line.
std::string restOfLine(std::istringstream& in) {
    std::string rest;
    std::getline(in >> std::ws, rest);
    return rest;
}

} // namespace

uint64_t synchronisationWaitNs(uint64_t attempts, uint64_t wireNsPerAttempt) {
    const uint64_t pause = 10 * kMs;
    return attempts * (3 * pause + (wireNsPerAttempt < pause ? pause - wireNsPerAttempt : 0));
}

Phase Measurement::total() const {
    Phase total;
    total.name = "total";
    for (const Phase& phase : phases) {
        add(total, phase);
    }
    return total;
}

Phase Measurement::sum(const std::vector<std::string>& names) const {
    Phase total;
    for (const Phase& phase : phases) {
        if (std::find(names.begin(), names.end(), phase.name) != names.end()) {
            add(total, phase);
        }
    }
    return total;
}

void writeMeasurement(const std::string& path, const Measurement& m) {
    std::ofstream out(path, std::ios::trunc);
    out << "ok " << (m.ok ? 1 : 0) << "\n";
    out << "image " << m.imageBytes << "\n";
    out << "cpu " << m.cpuUserSeconds << " " << m.cpuSystemSeconds << "\n";
    out << "reaction " << m.reactionP50Ns << " " << m.reactionP90Ns << "\n";
    out << "memory " << m.maxRssKiB << " " << m.heap.current << " " << m.heap.peak << " "
        << m.heap.allocations << "\n";
    out << "sim " << m.sim.checked << " " << m.sim.flashMatches << " " << m.sim.ramMatches << " "
        << m.sim.sealed << " " << m.sim.versionWord << " " << m.sim.syncs << " " << m.sim.cpuSeconds
        << "\n";
    out << "trace " << m.recorded << " " << m.traceBytes << " " << m.traceWriteNs << "\n";
    for (const Phase& p : m.phases) {
        const WireTraffic& t = p.traffic;
        out << "phase " << t.bytesOut << " " << t.bytesIn << " " << t.writeCalls << " "
            << t.readCalls << " " << t.waitCalls << " " << t.syncWrites << " " << t.turnarounds
            << " " << t.wireNs << " " << p.measuredNs << " " << p.cpuNs << " " << p.waitNs << " "
            << p.name << "\n";
    }
    // Last, as it may span anything.
    if (!m.failure.empty()) {
        out << "failure " << m.failure << "\n";
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

Measurement readMeasurement(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("no result in " + path);
    }
    Measurement m;
    std::string line;
    bool sawOk = false;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "ok") {
            int ok = 0;
            fields >> ok;
            m.ok = ok != 0;
            sawOk = true;
        } else if (key == "image") {
            fields >> m.imageBytes;
        } else if (key == "cpu") {
            fields >> m.cpuUserSeconds >> m.cpuSystemSeconds;
        } else if (key == "reaction") {
            fields >> m.reactionP50Ns >> m.reactionP90Ns;
        } else if (key == "memory") {
            fields >> m.maxRssKiB >> m.heap.current >> m.heap.peak >> m.heap.allocations;
        } else if (key == "sim") {
            fields >> m.sim.checked >> m.sim.flashMatches >> m.sim.ramMatches >> m.sim.sealed >>
                m.sim.versionWord >> m.sim.syncs >> m.sim.cpuSeconds;
        } else if (key == "trace") {
            fields >> m.recorded >> m.traceBytes >> m.traceWriteNs;
        } else if (key == "phase") {
            Phase p;
            WireTraffic& t = p.traffic;
            fields >> t.bytesOut >> t.bytesIn >> t.writeCalls >> t.readCalls >> t.waitCalls >>
                t.syncWrites >> t.turnarounds >> t.wireNs >> p.measuredNs >> p.cpuNs >> p.waitNs;
            p.name = restOfLine(fields);
            m.phases.push_back(p);
        } else if (key == "failure") {
            m.failure = restOfLine(fields);
        }
        if (!fields && key != "failure") {
            throw std::runtime_error("malformed line in " + path + ": " + line);
        }
    }
    if (!sawOk) {
        throw std::runtime_error("no result in " + path);
    }
    return m;
}

} // namespace bench
