#include "LedgerRun.h"

#include "HistoryOutbox.h"
#include "Ledger.h"
#include "LedgerCommand.h"
#include "LedgerForwarder.h"
#include "ScratchHistory.h"
#include "ScratchServer.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <sstream>

namespace {

constexpr int kRows = 10000;
constexpr double kGoalRowsPerSecond = 5000;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

bool printLedgerRun(const std::filesystem::path& dir) {
    std::printf("\n== The ledger: %d rows forwarded to PostgreSQL over a Unix socket ==\n", kRows);
    try {
        ScratchServer server; // durable: every commit synced, as a real server's
        const std::string url = server.createDatabase("ledger");
        LedgerConnection(url).initialize();

        // A station's backlog forwarded in batches of kLedgerBatchRows, each
        // one transaction, and recorded as forwarded in the history.
        const std::string history = (dir / "ledger-history.db").string();
        std::filesystem::remove(history);
        writeScratchHistory(history, kRows, "bench-1");
        const auto start = Clock::now();
        {
            LedgerConnection ledger(url);
            const PushResult pushed = pushHistory(ledger, history);
            if (pushed.sent != kRows || pushed.new_ != kRows) {
                std::printf("FAILED: %lld rows sent, %lld new\n", pushed.sent, pushed.new_);
                return false;
            }
        }
        const double seconds = secondsSince(start);
        const double rate = kRows / seconds;
        std::printf("%d rows in %.3f s, batches of %zu rows; goal %.0f rows/s or more: %s\n", kRows,
                    seconds, kLedgerBatchRows, kGoalRowsPerSecond,
                    rate >= kGoalRowsPerSecond ? "met" : "MISSED");

        // An outage: the server away while a station's rows pile up, then
        // back; the station's forwarding drains them.
        server.kill();
        const std::string backlog = (dir / "ledger-backlog.db").string();
        std::filesystem::remove(backlog);
        writeScratchHistory(backlog, kRows, "bench-2");
        server.start();
        const auto back = Clock::now();
        runLedgerForwarding(url, backlog, -1, true);
        const double drained = secondsSince(back);
        const long long left = HistoryOutbox(backlog).status().backlog;
        std::printf("after an outage: a backlog of %d rows drained in %.3f s (%lld left), "
                    "connection included\n",
                    kRows, drained, left);
        const std::string onServer = server.query("SELECT count(*) FROM attempts", "ledger");
        std::printf("rows on the server: %s (each once: the attempt id is its primary key)\n",
                    onServer.c_str());
        std::printf("ledger: %.0f rows/s\n", rate);
        return left == 0 && onServer == std::to_string(2 * kRows);
    } catch (const std::exception& failure) {
        std::printf("FAILED: %s\n", failure.what());
        std::printf("ledger: 0 rows/s\n");
        return false;
    }
}
