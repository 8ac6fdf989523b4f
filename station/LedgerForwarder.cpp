#include "LedgerForwarder.h"

#include "ChildSignals.h"
#include "Ledger.h"
#include "LedgerUrl.h"
#include "Log.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kFirstRetry = 1s;
constexpr auto kLongestRetry = 60s;
// A connection attempt gives up after this (the url may say otherwise).
constexpr int kConnectTimeoutSeconds = 3;

} // namespace

void runLedgerForwarding(const std::string& url, const std::string& historyPath, int wake,
                         bool final) {
    std::unique_ptr<LedgerConnection> ledger;
    bool warned = false;
    bool wanted = true; // rows may wait
    std::chrono::seconds retry = kFirstRetry;
    std::optional<Clock::time_point> retryAt;
    for (;;) {
        if (!final && (!wanted || retryAt)) {
            int timeout = -1;
            if (retryAt) {
                timeout = static_cast<int>(std::max<long long>(
                    0,
                    std::chrono::duration_cast<std::chrono::milliseconds>(*retryAt - Clock::now())
                        .count()));
            }
            pollfd entry{wake, POLLIN, 0};
            const int ready = ::poll(&entry, 1, timeout);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready > 0) {
                char bytes[256];
                const ssize_t n = ::read(wake, bytes, sizeof bytes);
                if (n == 0) {
                    final = true; // the run ends: once more, then done
                } else if (n > 0) {
                    wanted = true;
                }
                if (retryAt && !final) {
                    continue; // while the server is away, the schedule stands
                }
            }
            retryAt.reset();
        }
        try {
            if (!ledger) {
                ledger = std::make_unique<LedgerConnection>(url, kConnectTimeoutSeconds);
            }
            pushHistory(*ledger, historyPath);
            wanted = false;
            retry = kFirstRetry;
            if (warned) {
                logLine("Ledger %s reached again; the waiting rows are forwarded.",
                        redactLedgerText(url).c_str());
                warned = false;
            }
        } catch (const FirmwareUpdaterException& failure) {
            ledger.reset();
            if (!warned) {
                logWarning("Ledger not reached (%s: %s); the rows wait in %s and go with a later "
                           "push.",
                           failure.name().c_str(), redactLedgerText(failure.reason()).c_str(),
                           historyPath.c_str());
                warned = true;
            }
            retryAt = Clock::now() + retry;
            retry = std::min<std::chrono::seconds>(retry * 2, kLongestRetry);
        }
        if (final) {
            return;
        }
    }
}

std::unique_ptr<LedgerForwarder>
LedgerForwarder::forStation(const std::string& url, const std::string& historyPath, bool watch) {
    if (url.empty() || historyPath.empty()) {
        return nullptr;
    }
    return std::make_unique<LedgerForwarder>(url, historyPath, watch);
}

LedgerForwarder::LedgerForwarder(std::string url, std::string historyPath, bool watch)
    : url_(std::move(url)), historyPath_(std::move(historyPath)), watch_(watch) {
    if (watch_) {
        start(false);
    }
}

LedgerForwarder::~LedgerForwarder() {
    if (pid_ > 0) {
        finish(0ms);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void LedgerForwarder::start(bool final) {
    int wake[2] = {-1, -1};
    int done[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC) != 0 || ::pipe2(done, O_CLOEXEC) != 0) {
        logWarning("Ledger not reached: no pipe for the forwarding (errno %d); the rows wait.",
                   errno);
        for (int fd : {wake[0], wake[1], done[0], done[1]}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return;
    }
    std::fflush(nullptr);
    // The station's stop signals are the parent's to handle; it ends this
    // process when it stops waiting for it.
    const pid_t pid = forkStationChild();
    if (pid == 0) {
        ::close(wake[1]);
        ::close(done[0]);
        runLedgerForwarding(url_, historyPath_, wake[0], final);
        ::_exit(0);
    }
    ::close(wake[0]);
    ::close(done[1]);
    if (pid < 0) {
        ::close(wake[1]);
        ::close(done[0]);
        logWarning("Ledger not reached: no process for the forwarding (errno %d); the rows wait.",
                   errno);
        return;
    }
    ::fcntl(wake[1], F_SETFL, O_NONBLOCK);
    pid_ = pid;
    wake_ = wake[1];
    done_ = done[0];
}

void LedgerForwarder::rowCommitted() {
    if (wake_ >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_, &byte, 1); // full: already woken
    }
}

void LedgerForwarder::finish(std::chrono::milliseconds limit) {
    if (finished_) {
        return;
    }
    finished_ = true;
    if (pid_ < 0 && !watch_) {
        start(true);
    }
    if (pid_ < 0) {
        return;
    }
    if (wake_ >= 0) {
        ::close(wake_);
        wake_ = -1;
    }
    const auto end = Clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        pollfd entry{done_, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(0, left)));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            ::kill(pid_, SIGKILL); // out of time: the rows not sent wait
        }
        break;
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(done_);
    done_ = -1;
    pid_ = -1;
}
