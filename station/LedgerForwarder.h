#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

// A station run's forwarding of its rows to the ledger. The forwarding runs
// in a process of its own, forked from the station's parent, so that neither
// a slow or absent server nor its library's threads and locks ever reach the
// parent's loop or a board's process: the parent only writes a byte to it
// after each board's row is committed and, at the end, waits for it a
// bounded time. The exit code of the run is never the ledger's.
//
// A one-shot run forwards once, after its boards have ended (finish). With
// --watch the process starts with the run and forwards each row as soon as
// its board ends; while the server cannot be reached it tries again after
// 1, 2, 4, ... seconds, at most 60 apart. A server that is down costs one
// warning per run; the rows wait in the history for the next push.
class LedgerForwarder {
  public:
    // The forwarder of a run, or none without a ledger or a history.
    static std::unique_ptr<LedgerForwarder> forStation(const std::string& url,
                                                       const std::string& historyPath, bool watch);

    LedgerForwarder(std::string url, std::string historyPath, bool watch);
    ~LedgerForwarder();
    LedgerForwarder(const LedgerForwarder&) = delete;
    LedgerForwarder& operator=(const LedgerForwarder&) = delete;

    // A board's row is in the history (with --watch: forwarded at once).
    void rowCommitted();
    // Forwards what is left and waits for it, at most limit; a forwarding
    // still going on then is ended (what it had committed stays committed,
    // the rest waits).
    void finish(std::chrono::milliseconds limit = std::chrono::seconds(5));

  private:
    void start(bool final);

    std::string url_;
    std::string historyPath_;
    bool watch_;
    bool finished_ = false;
    pid_t pid_ = -1;
    int wake_ = -1; // write end: a byte per row, closed at the end
    int done_ = -1; // read end: end of file when the process has ended
};

// The forwarding process's loop (exposed for the bench): forwards from
// historyPath to url until wake (a pipe's read end) ends, or, with final, once.
void runLedgerForwarding(const std::string& url, const std::string& historyPath, int wake,
                         bool final);
