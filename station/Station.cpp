#include "Station.h"

#include "ChildSignals.h"
#include "JournalEntry.h"
#include "StationHistory.h"

#include "BoardRecognition.h"
#include "BoardSequence.h"
#include "DeviceSource.h"
#include "History.h"
#include "Log.h"
#include "StringFormat.h"
#include "TerminalText.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <ostream>

namespace {

// SIGINT, SIGTERM and SIGHUP reach the parent's poll through this pipe.
int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// How long a removed board's process may go on before it is stopped: the
// board ends as failed within 2 s of its removal.
constexpr auto kRemovalGrace = std::chrono::milliseconds(1500);

// The warnings of a board's process that the station shows as well, by the
// start of their log line.
std::optional<std::string> warningKind(const std::string& line) {
    if (line.starts_with("Update history ")) {
        return "history";
    }
    if (line.starts_with("Serial trace not written")) {
        return "trace";
    }
    return std::nullopt;
}

// path with its symbolic links followed (a /dev/serial/by-id/ name leads to
// the tty itself). By readlink alone: realpath is not safe under every
// preload library that the tests run the program with.
std::string canonical(const std::string& path) {
    std::filesystem::path current(path);
    for (int hops = 0; hops < 16; ++hops) {
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(current, error);
        if (error) {
            break;
        }
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current.lexically_normal().string();
}

std::string signalText(int signal) {
    const char* name = sigabbrev_np(signal);
    return formatString("signal %d (SIG%s)", signal, name != nullptr ? name : "?");
}

// Collects the boards reported while a notifier registers.
class BoardCollector : public DeviceNotificationTarget {
  public:
    void added(const DeviceList& devices) {
        for (const DeviceProperties& device : devices) {
            if (device) {
                if (std::optional<BoardIdentity> board = Station::boardOf(*device)) {
                    boards.push_back(*board);
                }
            }
        }
    }
    void removed(const DeviceList& /*devices*/) {}
    std::vector<BoardIdentity> boards;
};

// A run loop that only takes note: the notifier used for a one-time look
// needs one, but is gone before anything could be delivered.
class NoRunLoop : public RunLoop {
  public:
    SourceId addSource(int /*fd*/, std::function<void()> /*perform*/) override { return 1; }
    void removeSource(SourceId /*id*/) override {}
};

} // namespace

std::optional<BoardIdentity> Station::boardOf(const PropertyDictionary& properties) {
    const std::optional<std::string> serial = boardSerialNumberOf(properties);
    const std::string* tty = stringProperty(properties, kCalloutDeviceKey);
    if (!serial || tty == nullptr) {
        return std::nullopt;
    }
    const std::string* port = stringProperty(properties, kPhysicalPortKey);
    return BoardIdentity{*tty, port != nullptr ? *port : *tty, *serial};
}

std::vector<BoardIdentity> Station::attachedBoards(const std::vector<std::string>& ports) {
    NoRunLoop loop;
    RunLoop* previous = RunLoop::current();
    RunLoop::setCurrent(&loop);
    auto collector = std::make_shared<BoardCollector>();
    if (auto notifier = IORegistryDeviceNotifier::notifierForDevicesNamed(
            std::nullopt, std::string(kSerialDeviceClass), collector,
            multipleDevicesSelector(&BoardCollector::added),
            multipleDevicesSelector(&BoardCollector::removed))) {
        notifier->invalidate();
    }
    RunLoop::setCurrent(previous);
    if (ports.empty()) {
        return collector->boards;
    }
    // The ttys named, in their order: as udev lists them, or as they are.
    std::vector<BoardIdentity> boards;
    for (const std::string& port : ports) {
        const std::string wanted = canonical(port);
        bool listed = false;
        for (const BoardIdentity& board : collector->boards) {
            if (canonical(board.tty) == wanted) {
                boards.push_back(board);
                listed = true;
                break;
            }
        }
        if (!listed) {
            boards.push_back({port, wanted, ""});
        }
    }
    return boards;
}

Station::Station(StationOptions options, StationPlan plan, std::ostream& out)
    : options_(std::move(options)), plan_(std::move(plan)), out_(out),
      service_(options_.metrics, options_.ledgerBacklog) {}

Station::~Station() {
    if (notifier_) {
        notifier_->invalidate();
    }
    if (RunLoop::current() == this) {
        RunLoop::setCurrent(previousLoop_);
    }
}

RunLoop::SourceId Station::addSource(int fd, std::function<void()> perform) {
    const SourceId id = nextSourceId_++;
    sources_.emplace(id, std::make_pair(fd, std::move(perform)));
    return id;
}

void Station::removeSource(SourceId id) {
    sources_.erase(id);
}

void Station::emit(const std::string& line) {
    eraseLive();
    out_ << line << '\n';
    drawLive();
    out_.flush();
    // A closed or broken output loses this line, and the next is tried.
    if (!out_) {
        out_.clear();
    }
}

void Station::redrawLive() {
    if (options_.live) {
        eraseLive();
        drawLive();
        out_.flush();
    }
}

void Station::eraseLive() {
    for (; liveShown_ > 0; --liveShown_) {
        out_ << "\x1b[1A\x1b[2K"; // up a line, and clear it
    }
}

void Station::drawLive() {
    if (!options_.live) {
        return;
    }
    // A line longer than the terminal would wrap, and erasing would miss
    // what wrapped.
    winsize window{};
    const std::size_t width =
        ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_col > 1 ? window.ws_col : 80;
    for (const auto& [fd, child] : running_) {
        std::string text = "  " + child.board.tty + "  " + child.step.value_or("Connecting…");
        if (child.total && *child.total > 0) {
            text += formatString(
                "  %u%%", static_cast<unsigned>(std::min<std::uint64_t>(child.done, *child.total) *
                                                100 / *child.total));
        }
        out_ << fitToColumns(terminalText(text), width - 1) << '\n';
        ++liveShown_;
    }
}

bool Station::wanted(const std::string& tty) const {
    if (options_.ports.empty()) {
        return true;
    }
    const std::string path = canonical(tty);
    for (const std::string& port : options_.ports) {
        if (canonical(port) == path) {
            return true;
        }
    }
    return false;
}

void Station::offer(const BoardIdentity& board) {
    if (stopping_ || !wanted(board.tty) || ended_.contains(board.tty)) {
        return;
    }
    for (const BoardIdentity& queued : pending_) {
        if (queued.tty == board.tty) {
            return;
        }
    }
    bool ttyHeld = false;
    for (const auto& [fd, child] : running_) {
        ttyHeld = ttyHeld || child.board.tty == board.tty;
    }
    if (ttyHeld && std::find(held_.begin(), held_.end(), board) != held_.end()) {
        return;
    }
    if (options_.json) {
        emit(foundEvent(board));
    }
    // A board that arrives on a tty that the process of the board before it
    // still holds waits for that process to end.
    (ttyHeld ? held_ : pending_).push_back(board);
}

void Station::devicesAdded(const DeviceList& devices) {
    // Without --watch the boards are those attached at the start; the
    // notifier is there for their removals.
    if (!options_.watch) {
        return;
    }
    for (const DeviceProperties& device : devices) {
        if (device) {
            if (std::optional<BoardIdentity> board = boardOf(*device)) {
                offer(*board);
            }
        }
    }
}

void Station::devicesRemoved(const DeviceList& devices) {
    for (const DeviceProperties& device : devices) {
        if (device) {
            if (std::optional<BoardIdentity> board = boardOf(*device)) {
                ended_.erase(board->tty);
                std::erase_if(pending_, [&](const BoardIdentity& queued) {
                    return queued.tty == board->tty;
                });
                std::erase_if(held_, [&](const BoardIdentity& queued) { return queued == *board; });
                // The process of a board that went away is told at once,
                // and stopped unless it ends by itself shortly.
                for (auto& [fd, child] : running_) {
                    if (child.board.tty == board->tty && child.board.serial == board->serial &&
                        !child.removed) {
                        child.removed = Clock::now();
                        if (!child.ending) {
                            ::kill(child.pid, kBoardRemovedSignal);
                        }
                    }
                }
            }
        }
    }
}

void Station::startPending() {
    const std::size_t jobs = options_.jobs.value_or(0);
    while (!stopping_ && !pending_.empty() && (jobs == 0 || running_.size() < jobs)) {
        const BoardIdentity board = pending_.front();
        pending_.pop_front();
        startChild(board);
    }
}

void Station::startChild(const BoardIdentity& board) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        BoardOutcome outcome;
        outcome.identity = board;
        outcome.error = "ProcessError";
        outcome.reason = formatString("No pipe for the board's process: errno %d %s.", errno,
                                      std::strerror(errno));
        tally_.count(BoardResult::Failed);
        emit(options_.json ? resultEvent(outcome) : resultText(outcome));
        return;
    }
    out_.flush();
    if (!out_) {
        out_.clear();
    }
    std::fflush(nullptr);
    const std::string attemptId = newAttemptId();
    // Updates already running finish when the station is stopped: the
    // parent decides, and stops a child when it must.
    const pid_t pid = forkStationChild(noteBoardRemoved);
    if (pid == 0) {
        ::close(fds[0]);
        runChild(board, fds[1], attemptId);
    }
    ::close(fds[1]);
    if (pid < 0) {
        ::close(fds[0]);
        BoardOutcome outcome;
        outcome.identity = board;
        outcome.error = "ProcessError";
        outcome.reason =
            formatString("No process for the board: errno %d %s.", errno, std::strerror(errno));
        tally_.count(BoardResult::Failed);
        emit(options_.json ? resultEvent(outcome) : resultText(outcome));
        return;
    }
    Child child;
    child.pid = pid;
    child.fd = fds[0];
    child.board = board;
    child.started = Clock::now();
    child.attemptId = attemptId;
    running_.emplace(fds[0], std::move(child));
    redrawLive();
}

void Station::runChild(const BoardIdentity& board, int fd, const std::string& attemptId) {
    for (const auto& [other, child] : running_) {
        ::close(other);
    }
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    service_.closeInChild();
    std::mutex writing;
    const auto send = [&](const std::string& line) {
        const std::string text = line + "\n";
        std::lock_guard<std::mutex> lock(writing);
        std::size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    };
    // The result line carries each failure: the log goes to the journal
    // only. A warning beside the update reaches the station's standard error
    // as well, through the parent.
    setLogSink([&send](const std::string& line) {
        static std::once_flag opened;
        std::call_once(opened, [] { openlog("qrb-flash", LOG_PID, LOG_USER); });
        syslog(LOG_NOTICE, "%s", line.c_str());
        if (const std::optional<std::string> kind = warningKind(line)) {
            send(warningEvent(*kind, line));
        }
    });
    BoardOutcome outcome = runBoard(board, plan_, send);
    outcome.attemptId = attemptId;
    send(endingEvent());
    boardEnded(outcome, plan_);
    send(resultEvent(outcome));
    ::_exit(0);
}

void Station::readChild(Child& child) {
    char buffer[4096];
    const ssize_t n = ::read(child.fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        endChild(child.fd);
        return;
    }
    child.pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline = 0;
    while ((newline = child.pending.find('\n')) != std::string::npos) {
        const std::string line = child.pending.substr(0, newline);
        child.pending.erase(0, newline + 1);
        childLine(child, line);
    }
}

void Station::childLine(Child& child, const std::string& line) {
    if (std::optional<BoardOutcome> outcome = parseResultEvent(line)) {
        child.outcome = std::move(outcome);
        return;
    }
    if (isEndingEvent(line)) {
        child.ending = true;
        return;
    }
    if (std::optional<WarningLine> warning = parseWarningEvent(line)) {
        showWarning(*warning);
        return;
    }
    if (std::optional<ProgressLine> progress = parseProgressEvent(line)) {
        child.step = std::move(progress->step);
        child.done = progress->done;
        child.total = progress->total;
        redrawLive();
    }
    if (options_.json) {
        emit(line);
    }
}

void Station::endChild(int fd) {
    const auto found = running_.find(fd);
    if (found == running_.end()) {
        return;
    }
    Child child = std::move(found->second);
    running_.erase(found);
    ::close(fd);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }

    // A board whose result line came has its row: that line stands, even
    // when the station was stopped since.
    BoardOutcome outcome;
    if (child.outcome) {
        outcome = *child.outcome;
    } else {
        outcome.identity = child.board;
        outcome.attemptId = child.attemptId;
        outcome.step = child.step;
        outcome.seconds = std::chrono::duration<double>(Clock::now() - child.started).count();
        if (child.removed) {
            outcome.error = kBoardRemovedError;
            outcome.reason = kBoardRemovedReason;
        } else if (child.interrupted) {
            outcome.error = "InterruptedError";
            outcome.reason = "The station was stopped while the board was being updated.";
        } else if (WIFSIGNALED(status)) {
            outcome.error = "SignalError";
            outcome.reason =
                "The board's process was ended by " + signalText(WTERMSIG(status)) + ".";
        } else {
            outcome.error = "ProcessError";
            outcome.reason =
                formatString("The board's process ended with status %d before its result.",
                             WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        }
        outcome.result = BoardResult::Failed;
    }
    ImageVersion image;
    image.data = plan_.update.version;
    outcome.to = versionText(image);
    if (!child.outcome) {
        // The child ended before its row: the attempt is recorded all the
        // same, off the loop.
        recordOffLoop({outcome});
        sendJournalEntry(journalFieldsOf(outcome, plan_.imageSha256));
    }
    tally_.count(outcome.result);
    service_.boardEnded(outcome);
    emit(options_.json ? resultEvent(outcome) : resultText(outcome));
    // A board that was unplugged is not waited for to go.
    if (options_.watch && !child.removed) {
        ended_.insert(child.board.tty);
    }
    // A row the board's process committed goes to the ledger now; one
    // written off the loop, once its writer has ended (reapWriters).
    if (forwarder_ && child.outcome) {
        forwarder_->rowCommitted();
    }
    // A board that arrived on this tty meanwhile is a new board.
    for (auto held = held_.begin(); held != held_.end();) {
        if (held->tty == child.board.tty) {
            ended_.erase(held->tty);
            pending_.push_back(*held);
            held = held_.erase(held);
        } else {
            ++held;
        }
    }
}

void Station::interruptWaiting() {
    std::vector<BoardOutcome> outcomes;
    ImageVersion image;
    image.data = plan_.update.version;
    for (std::deque<BoardIdentity>* waiting : {&pending_, &held_}) {
        for (const BoardIdentity& board : *waiting) {
            BoardOutcome outcome;
            outcome.identity = board;
            outcome.result = BoardResult::Failed;
            outcome.error = "InterruptedError";
            outcome.reason = "Stopped before its update began; the board was not touched.";
            outcome.to = versionText(image);
            outcome.attemptId = newAttemptId();
            tally_.count(outcome.result);
            service_.boardEnded(outcome);
            sendJournalEntry(journalFieldsOf(outcome, plan_.imageSha256));
            emit(options_.json ? resultEvent(outcome) : resultText(outcome));
            outcomes.push_back(std::move(outcome));
        }
        waiting->clear();
    }
    recordOffLoop(outcomes);
}

void Station::recordOffLoop(const std::vector<BoardOutcome>& outcomes) {
    if (plan_.historyPath.empty()) {
        return;
    }
    out_.flush();
    std::fflush(nullptr);
    // A process per row: the rows wait for the database side by side, so
    // that no row waits for another's busy time-out.
    for (const BoardOutcome& outcome : outcomes) {
        const pid_t pid = forkStationChild();
        if (pid == 0) {
            recordBoardOutcome(outcome, plan_);
            ::_exit(0);
        }
        if (pid < 0) {
            // No process to spare: the row is written here, late rather
            // than lost.
            recordBoardOutcome(outcome, plan_);
            continue;
        }
        writers_.push_back(pid);
    }
}

void Station::reapWriters(bool wait) {
    const std::size_t before = writers_.size();
    std::erase_if(writers_, [wait](pid_t pid) {
        int status = 0;
        pid_t reaped = 0;
        while ((reaped = ::waitpid(pid, &status, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
        }
        return reaped != 0;
    });
    if (forwarder_ && writers_.size() < before) {
        forwarder_->rowCommitted();
    }
}

int Station::stopRemovedChildren() {
    const auto now = Clock::now();
    std::optional<Clock::duration> next;
    for (auto& [fd, child] : running_) {
        if (!child.removed || child.killedAfterRemoval || child.outcome || child.ending) {
            continue;
        }
        const Clock::time_point due = *child.removed + kRemovalGrace;
        if (now >= due) {
            ::kill(child.pid, SIGKILL);
            child.killedAfterRemoval = true;
        } else if (!next || due - now < *next) {
            next = due - now;
        }
    }
    if (!next) {
        return -1;
    }
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(*next).count() +
                            1);
}

void Station::showWarning(const WarningLine& warning) {
    if (warned_.insert(warning.kind).second) {
        eraseLive();
        std::fprintf(stderr, "qrb-flash: %s\n", warning.text.c_str());
        std::fflush(stderr);
        drawLive();
        out_.flush();
    }
}

void Station::stop(int signal) {
    // SIGTERM and SIGHUP (a closed terminal or session) stop as the first
    // SIGINT does: no new boards, the running ones finish. Only a second
    // SIGINT ends the running updates.
    if (!stopping_) {
        service_.stopping();
    }
    if (signal == SIGINT) {
        ++interrupts_;
    }
    // No board is taken from now on (offer); the notifier stays, for the
    // removals of the boards that are still running.
    stopping_ = true;
    interruptWaiting();
    if (interrupts_ >= 2) {
        for (auto& [fd, child] : running_) {
            // A board whose process has its outcome, or is writing its row,
            // keeps what it has.
            if (!child.outcome && !child.ending && !child.interrupted) {
                child.interrupted = true;
                ::kill(child.pid, SIGKILL);
            }
        }
    }
}

int Station::run() {
    const auto started = Clock::now();
    // Standard input, output and error stay taken, if only by /dev/null, so
    // that no pipe of a board gets their numbers.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0) {
            (void)::open("/dev/null", O_RDWR);
        }
    }
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("qrb-flash: pipe");
        return 1;
    }
    // The children are reaped here, whatever the station was started with;
    // an output that is closed or broken costs the lines, not the boards.
    setSignalHandler(SIGCHLD, SIG_DFL);
    setSignalHandler(SIGPIPE, SIG_IGN);
    setSignalHandler(SIGINT, onSignal);
    setSignalHandler(SIGTERM, onSignal);
    setSignalHandler(SIGHUP, onSignal);
    // Whatever started the station may have left these blocked, and a station
    // that never hears them could only be stopped by SIGKILL, mid-flash.
    sigset_t stopping;
    sigemptyset(&stopping);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&stopping, signal);
    }
    ::sigprocmask(SIG_UNBLOCK, &stopping, nullptr);

    forwarder_ = LedgerForwarder::forStation(options_.ledger, plan_.historyPath, options_.watch);
    // The boards attached now, or the ttys named.
    for (const BoardIdentity& board : attachedBoards(options_.ports)) {
        offer(board);
    }
    // Removals are followed in either mode; arrivals with --watch.
    previousLoop_ = RunLoop::current();
    RunLoop::setCurrent(this);
    notifier_ = IORegistryDeviceNotifier::notifierForDevicesNamed(
        std::nullopt, std::string(kSerialDeviceClass), shared_from_this(),
        multipleDevicesSelector(&Station::devicesAdded),
        multipleDevicesSelector(&Station::devicesRemoved));
    if (options_.watch) {
        if (!notifier_) {
            std::fprintf(stderr, "qrb-flash: cannot watch the serial devices\n");
        }
        imageWatch_ = std::make_unique<ImageWatch>(
            std::vector<ImageWatch::Image>{
                {plan_.update.ramBootloaderPath, plan_.update.ramBootloader},
                {plan_.update.firmwarePath, plan_.update.firmware}},
            *this);
    }
    service_.started(*this, running_.size(), tally_);

    for (;;) {
        startPending();
        if (running_.empty() && pending_.empty() && (!options_.watch || stopping_)) {
            break;
        }
        std::vector<pollfd> fds{{signalPipe[0], POLLIN, 0}};
        std::vector<int> childFds;
        for (const auto& [fd, child] : running_) {
            fds.push_back({fd, POLLIN, 0});
            childFds.push_back(fd);
        }
        std::vector<SourceId> sourceIds;
        for (const auto& [id, source] : sources_) {
            fds.push_back({source.first, POLLIN, 0});
            sourceIds.push_back(id);
        }
        reapWriters(false);
        int timeout = stopRemovedChildren();
        if (!writers_.empty() && (timeout < 0 || timeout > 200)) {
            timeout = 200; // to reap the writers of rows as they end
        }
        // The service manager's keep-alive and status, and the metrics page.
        const int serviceWait = service_.turned(running_.size(), tally_);
        if (serviceWait >= 0 && (timeout < 0 || serviceWait < timeout)) {
            timeout = serviceWait;
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("qrb-flash: poll");
            break;
        }
        if (fds[0].revents & POLLIN) {
            unsigned char signal = 0;
            while (::read(signalPipe[0], &signal, 1) == 1) {
                stop(signal);
            }
        }
        for (std::size_t i = 0; i < childFds.size(); ++i) {
            if (fds[1 + i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const auto child = running_.find(childFds[i]);
                if (child != running_.end()) {
                    readChild(child->second);
                }
            }
        }
        for (std::size_t i = 0; i < sourceIds.size(); ++i) {
            if (fds[1 + childFds.size() + i].revents & (POLLIN | POLLHUP | POLLERR)) {
                const auto source = sources_.find(sourceIds[i]);
                if (source != sources_.end()) {
                    const std::function<void()> perform = source->second.second;
                    perform();
                }
            }
        }
    }

    imageWatch_.reset();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    emit(options_.json ? summaryEvent(tally_, seconds) : summaryText(tally_, seconds));
    // Every row is in before the station ends, and then forwarded.
    reapWriters(true);
    if (forwarder_) {
        out_.flush();
        forwarder_->finish(); // at most 5 s; the exit code stays the boards'
        forwarder_.reset();
    }
    setSignalHandler(SIGINT, SIG_DFL);
    setSignalHandler(SIGTERM, SIG_DFL);
    setSignalHandler(SIGHUP, SIG_DFL);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    if (tally_.failed > 0) {
        return 1;
    }
    return tally_.total() > 0 ? 0 : 2;
}
