#include "Station.h"

#include "StationHistory.h"

#include "BoardRecognition.h"
#include "BoardSequence.h"
#include "DeviceSource.h"
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

// SIGINT and SIGTERM reach the parent's poll through this pipe.
int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void setHandler(int signal, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
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
    : options_(std::move(options)), plan_(std::move(plan)), out_(out) {}

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
    for (const auto& [fd, child] : running_) {
        if (child.board.tty == board.tty) {
            return;
        }
    }
    for (const BoardIdentity& queued : pending_) {
        if (queued.tty == board.tty) {
            return;
        }
    }
    if (options_.json) {
        emit(foundEvent(board));
    }
    pending_.push_back(board);
}

void Station::devicesAdded(const DeviceList& devices) {
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
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        runChild(board, fds[1]);
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
    running_.emplace(fds[0], std::move(child));
    redrawLive();
}

void Station::runChild(const BoardIdentity& board, int fd) {
    // Updates already running finish when the station is stopped: the
    // parent decides, and kills a child when it must.
    setHandler(SIGINT, SIG_IGN);
    setHandler(SIGTERM, SIG_IGN);
    setHandler(SIGPIPE, SIG_IGN);
    for (const auto& [other, child] : running_) {
        ::close(other);
    }
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    // The result line carries each failure: the log goes to the journal only.
    setLogSink([](const std::string& line) {
        static std::once_flag opened;
        std::call_once(opened, [] { openlog("qrb-flash", LOG_PID, LOG_USER); });
        syslog(LOG_NOTICE, "%s", line.c_str());
    });
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
    BoardOutcome outcome = runBoard(board, plan_, send);
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

    BoardOutcome outcome;
    if (child.outcome && !child.interrupted) {
        outcome = *child.outcome;
    } else {
        outcome.identity = child.board;
        outcome.step = child.step;
        outcome.seconds = std::chrono::duration<double>(Clock::now() - child.started).count();
        if (child.interrupted) {
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
        // The child ended before its row: the attempt is recorded all the same.
        recordBoardOutcome(outcome, plan_);
    }
    tally_.count(outcome.result);
    emit(options_.json ? resultEvent(outcome) : resultText(outcome));
    if (options_.watch) {
        ended_.insert(child.board.tty);
    }
}

void Station::stop(int /*signal*/) {
    ++signalsSeen_;
    stopping_ = true;
    pending_.clear();
    if (notifier_) {
        notifier_->invalidate();
        notifier_.reset();
    }
    if (signalsSeen_ >= 2) {
        for (auto& [fd, child] : running_) {
            child.interrupted = true;
            ::kill(child.pid, SIGKILL);
        }
    }
}

int Station::run() {
    const auto started = Clock::now();
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("qrb-flash: pipe");
        return 1;
    }
    setHandler(SIGINT, onSignal);
    setHandler(SIGTERM, onSignal);

    // The boards attached now, or the ttys named.
    for (const BoardIdentity& board : attachedBoards(options_.ports)) {
        offer(board);
    }
    if (options_.watch) {
        previousLoop_ = RunLoop::current();
        RunLoop::setCurrent(this);
        notifier_ = IORegistryDeviceNotifier::notifierForDevicesNamed(
            std::nullopt, std::string(kSerialDeviceClass), shared_from_this(),
            multipleDevicesSelector(&Station::devicesAdded),
            multipleDevicesSelector(&Station::devicesRemoved));
        if (!notifier_) {
            std::fprintf(stderr, "qrb-flash: cannot watch the serial devices\n");
        }
    }

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
        if (::poll(fds.data(), fds.size(), -1) < 0) {
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

    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    emit(options_.json ? summaryEvent(tally_, seconds) : summaryText(tally_, seconds));
    setHandler(SIGINT, SIG_DFL);
    setHandler(SIGTERM, SIG_DFL);
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    if (tally_.failed > 0) {
        return 1;
    }
    return tally_.total() > 0 ? 0 : 2;
}
