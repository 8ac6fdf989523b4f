#pragma once

#include "BoardOutcome.h"
#include "BoardRun.h"
#include "IORegistryDeviceNotifier.h"
#include "LedgerForwarder.h"
#include "ImageWatch.h"
#include "RunLoop.h"
#include "StationEvents.h"
#include "StationService.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct StationOptions {
    bool json = false;
    bool watch = false;
    std::optional<unsigned> jobs;   // at most this many boards at once
    std::vector<std::string> ports; // only these ttys (empty: every board)
    // Below the lines of the boards that have ended, a line per running
    // board, redrawn in place as it goes on (for a terminal; not with json).
    bool live = false;
    // The ledger the rows are forwarded to (a libpq connection string or
    // URI); empty: none.
    std::string ledger;
    // The metrics page's server (--metrics, with --watch), already
    // listening; none without.
    std::shared_ptr<MetricsServer> metrics;
    // The ledger's backlog, for the status line and the metrics; unset
    // without a ledger. Asked at every turn of the parent's loop: it must
    // answer at once.
    LedgerBacklog ledgerBacklog;
};

// The station's parent process: finds the boards (udev, the desktop's
// matching; or the ttys named), runs each in a child process of its own,
// passes on the children's events, and prints each board's end and the
// summary. The parent itself never opens a board.
class Station : public DeviceNotificationTarget,
                public RunLoop,
                public std::enable_shared_from_this<Station> {
  public:
    Station(StationOptions options, StationPlan plan, std::ostream& out);
    ~Station() override;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Runs until every board has ended (with --watch: until stopped by
    // SIGINT, SIGTERM or SIGHUP and the running boards have ended). The
    // exit code: 0 some board and no failure, 1 a failure, 2 no board.
    int run();

    // The boards attached now, touching none (for `list`).
    static std::vector<BoardIdentity> attachedBoards(const std::vector<std::string>& ports);
    // The board of a serial device's properties; none when it is not one.
    static std::optional<BoardIdentity> boardOf(const PropertyDictionary& properties);

    // The notifier's callbacks.
    void devicesAdded(const DeviceList& devices);
    void devicesRemoved(const DeviceList& devices);

    // RunLoop: the notifier's event source joins the parent's poll.
    SourceId addSource(int fd, std::function<void()> perform) override;
    void removeSource(SourceId id) override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Child {
        pid_t pid = -1;
        int fd = -1;
        BoardIdentity board;
        std::string pending; // bytes after the last full line
        std::optional<BoardOutcome> outcome;
        std::optional<std::string> step; // of the last progress line
        std::uint64_t done = 0;          // of the last progress line
        std::optional<std::uint64_t> total;
        Clock::time_point started;
        bool interrupted = false;
        std::string attemptId;
        // The child is writing its trace and row: it is let finish them.
        bool ending = false;
        // When its board's removal was seen; the process is stopped if it
        // has not ended shortly after.
        std::optional<Clock::time_point> removed;
        bool killedAfterRemoval = false;
    };

    bool wanted(const std::string& tty) const;
    void offer(const BoardIdentity& board);
    void startPending();
    void startChild(const BoardIdentity& board);
    [[noreturn]] void runChild(const BoardIdentity& board, int fd, const std::string& attemptId);
    // The boards that were waiting end as failed, untouched (a stop).
    void interruptWaiting();
    // Appends each row to the history in a process of its own, so that the
    // loop never waits for the database.
    void recordOffLoop(const std::vector<BoardOutcome>& outcomes);
    // Reaps the writers of rows that have ended (wait: all of them); the
    // ledger's forwarder is woken for their rows.
    void reapWriters(bool wait);
    // Stops the processes of removed boards that have not ended in time;
    // the poll's time-out until the next of them is due (-1: none).
    int stopRemovedChildren();
    void showWarning(const WarningLine& warning);
    void readChild(Child& child);
    void childLine(Child& child, const std::string& line);
    void endChild(int fd);
    void stop(int signal);
    void emit(const std::string& line);
    // The live lines (options_.live): drawn below everything else, erased
    // before anything else is printed, redrawn as the boards go on.
    void eraseLive();
    void drawLive();
    void redrawLive();

    StationOptions options_;
    StationPlan plan_;
    std::ostream& out_;
    RunLoop* previousLoop_ = nullptr;
    std::shared_ptr<IORegistryDeviceNotifier> notifier_;
    std::map<SourceId, std::pair<int, std::function<void()>>> sources_;
    SourceId nextSourceId_ = 1;

    std::deque<BoardIdentity> pending_;
    // Boards that arrived on a tty whose previous board's process still
    // runs: each starts when that process has ended.
    std::deque<BoardIdentity> held_;
    std::vector<pid_t> writers_;   // processes writing rows
    std::set<std::string> warned_; // the kinds of warning shown
    std::unique_ptr<ImageWatch> imageWatch_;
    std::map<int, Child> running_; // by the read end of the child's pipe
    // Ttys whose board has ended while plugged in (--watch): not again until
    // unplugged.
    std::set<std::string> ended_;
    StationTally tally_;
    bool stopping_ = false;
    int interrupts_ = 0;                         // SIGINTs seen
    std::size_t liveShown_ = 0;                  // live lines on the terminal now
    std::unique_ptr<LedgerForwarder> forwarder_; // with --ledger
    StationService service_;                     // the service manager and the metrics page
};
