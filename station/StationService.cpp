#include "StationService.h"

#include "MetricsServer.h"
#include "StringFormat.h"

#include <algorithm>

std::string stationStatusLine(std::size_t running, const StationTally& tally,
                              std::optional<std::uint64_t> ledgerBacklog) {
    std::string line =
        formatString("%zu running, %u updated, %u failed", running, tally.updated, tally.failed);
    if (ledgerBacklog) {
        line += formatString("; %llu %s for the ledger",
                             static_cast<unsigned long long>(*ledgerBacklog),
                             *ledgerBacklog == 1 ? "row waits" : "rows wait");
    }
    return line;
}

StationService::StationService(std::shared_ptr<MetricsServer> metrics, LedgerBacklog ledgerBacklog)
    : server_(std::move(metrics)), ledgerBacklog_(std::move(ledgerBacklog)) {}

StationService::~StationService() {
    if (source_ && loop_ != nullptr) {
        loop_->removeSource(*source_);
    }
    if (server_) {
        server_->setPage({});
    }
}

std::string StationService::statusLine(std::size_t running, const StationTally& tally) const {
    return stationStatusLine(running, tally,
                             ledgerBacklog_ ? ledgerBacklog_() : std::optional<std::uint64_t>());
}

void StationService::started(RunLoop& loop, std::size_t running, const StationTally& tally) {
    running_ = running;
    if (server_) {
        server_->setPage([this] {
            return metrics_.page(running_,
                                 ledgerBacklog_ ? ledgerBacklog_() : std::optional<std::uint64_t>(),
                                 QRB_VERSION);
        });
        loop_ = &loop;
        source_ = loop.addSource(server_->pollFd(), [this] { server_->serve(); });
    }
    notify_.ready(statusLine(running, tally));
}

void StationService::boardEnded(const BoardOutcome& outcome) {
    metrics_.boardEnded(outcome.result, outcome.seconds);
}

void StationService::stopping() {
    notify_.stopping();
}

int StationService::turned(std::size_t running, const StationTally& tally) {
    running_ = running;
    notify_.status(statusLine(running, tally));
    notify_.loopTurned();
    std::optional<std::chrono::milliseconds> wait = notify_.untilWatchdog();
    if (server_) {
        // Open connections' time-outs are handled when the server runs.
        server_->serve();
        if (const std::optional<std::chrono::milliseconds> serve = server_->untilServe()) {
            wait = wait ? std::min(*wait, *serve) : *serve;
        }
    }
    return wait ? static_cast<int>(std::min<long long>(wait->count(), 1 << 30)) : -1;
}

void StationService::closeInChild() {
    if (server_) {
        server_->closeInChild();
    }
}
