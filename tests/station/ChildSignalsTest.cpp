// How a process forked by the station starts: the terminal's signals
// ignored, the board-removed signal as its role wants it, nothing blocked,
// whatever the parent has set and blocked.

#include "BoardRun.h"
#include "ChildSignals.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

int reported = -1; // where a child's removal handler writes

void onRemovalInChild(int /*signal*/) {
    const char byte = 'R';
    [[maybe_unused]] const ssize_t written = ::write(reported, &byte, 1);
}

void onSignalInParent(int /*signal*/) {}

void (*dispositionOf(int signal))(int) {
    struct sigaction action {};
    ::sigaction(signal, nullptr, &action);
    return action.sa_handler;
}

// In the child: a bit for each thing that is not as it must be, as its exit
// code. It then sends itself the terminal's signals, which it survives, and
// the board-removed signal.
[[noreturn]] void checkAndExit(void (*removal)(int)) {
    int wrong = 0;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        if (dispositionOf(signal) != SIG_IGN) {
            wrong |= 1;
        }
    }
    if (dispositionOf(SIGCHLD) != SIG_DFL) {
        wrong |= 2;
    }
    struct sigaction removalAction {};
    ::sigaction(kBoardRemovedSignal, nullptr, &removalAction);
    if (removalAction.sa_handler != (removal != nullptr ? removal : SIG_DFL) ||
        (removal != nullptr && (removalAction.sa_flags & SA_RESTART) == 0)) {
        wrong |= 4;
    }
    sigset_t mask;
    ::sigprocmask(SIG_SETMASK, nullptr, &mask);
    if (sigisemptyset(&mask) == 0) {
        wrong |= 8;
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        ::kill(::getpid(), signal);
    }
    if (removal != nullptr) {
        ::kill(::getpid(), kBoardRemovedSignal);
    }
    ::_exit(wrong);
}

// The exit code of a child, or a text for how else it ended.
std::string endOf(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) {
        return "not waited for";
    }
    if (WIFSIGNALED(status)) {
        return "ended by signal " + std::to_string(WTERMSIG(status));
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

// The station may have been started with any of its signals blocked or
// ignored, and has its own handlers: none of that reaches a child.
TEST(ChildSignals, EveryChildIgnoresTheTerminalsSignalsWithNothingBlockedAndTheParentKeepsItsOwn) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    reported = fds[1];
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        setSignalHandler(signal, onSignalInParent);
    }
    setSignalHandler(kBoardRemovedSignal, SIG_IGN);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, kBoardRemovedSignal);
    sigaddset(&blocked, SIGTERM);
    sigset_t before;
    ASSERT_EQ(::sigprocmask(SIG_BLOCK, &blocked, &before), 0);
    sigset_t parentMask;
    ::sigprocmask(SIG_SETMASK, nullptr, &parentMask);

    const pid_t board = forkStationChild(onRemovalInChild);
    if (board == 0) {
        checkAndExit(onRemovalInChild);
    }
    const pid_t writer = forkStationChild();
    if (writer == 0) {
        checkAndExit(nullptr);
    }
    ASSERT_GT(board, 0);
    ASSERT_GT(writer, 0);
    sigset_t after;
    ::sigprocmask(SIG_SETMASK, nullptr, &after);
    for (int signal = 1; signal < SIGRTMIN; ++signal) {
        EXPECT_EQ(sigismember(&after, signal), sigismember(&parentMask, signal))
            << "the parent's mask changed for signal " << signal;
    }
    EXPECT_EQ(dispositionOf(SIGINT), onSignalInParent);

    EXPECT_EQ(endOf(board), "exit 0");
    EXPECT_EQ(endOf(writer), "exit 0");
    ::close(fds[1]);
    char byte = 0;
    EXPECT_EQ(::read(fds[0], &byte, 1), 1) << "the board's process saw no removal";
    EXPECT_EQ(byte, 'R');
    ::close(fds[0]);

    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, kBoardRemovedSignal}) {
        setSignalHandler(signal, SIG_DFL);
    }
}

} // namespace
