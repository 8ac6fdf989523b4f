#pragma once

#include "BoardOutcome.h"
#include "RunLoop.h"
#include "ServiceNotify.h"
#include "StationEvents.h"
#include "StationMetrics.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class MetricsServer;

// The ledger's backlog in rows, asked when the status line or the metrics
// page is made; unset when the station has no ledger.
using LedgerBacklog = std::function<std::optional<std::uint64_t>()>;

// What the station's parent tells those who watch it from outside: the
// service manager (ready, status, watchdog, stopping) and the metrics page.
// The parent's loop calls it; nothing here runs on a thread of its own.
class StationService {
  public:
    StationService(std::shared_ptr<MetricsServer> metrics, LedgerBacklog ledgerBacklog);
    ~StationService();
    StationService(const StationService&) = delete;
    StationService& operator=(const StationService&) = delete;

    // The station watches for boards: READY=1, and the metrics page joins
    // loop, which must outlive the service.
    void started(RunLoop& loop, std::size_t running, const StationTally& tally);
    void boardEnded(const BoardOutcome& outcome);
    // The first SIGINT or SIGTERM.
    void stopping();
    // Once per turn of the loop, before it waits: the status line when it
    // changed, the watchdog's keep-alive when due. Returns how long the loop
    // may wait (poll's time-out in ms, -1 for as long as it takes).
    int turned(std::size_t running, const StationTally& tally);
    // In a forked board process: lets go of the parent's descriptors.
    void closeInChild();

  private:
    std::string statusLine(std::size_t running, const StationTally& tally) const;

    std::shared_ptr<MetricsServer> server_;
    LedgerBacklog ledgerBacklog_;
    ServiceNotify notify_;
    StationMetrics metrics_;
    std::size_t running_ = 0;
    std::optional<RunLoop::SourceId> source_;
    RunLoop* loop_ = nullptr;
};

// "2 running, 14 updated, 1 failed", and with a ledger "; 3 rows wait for the
// ledger".
std::string stationStatusLine(std::size_t running, const StationTally& tally,
                              std::optional<std::uint64_t> ledgerBacklog);
