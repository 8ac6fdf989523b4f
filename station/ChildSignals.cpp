#include "ChildSignals.h"

#include "BoardRun.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>

void setSignalHandler(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal, &action, nullptr);
}

pid_t forkStationChild(void (*onBoardRemoved)(int)) {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, kBoardRemovedSignal}) {
        sigaddset(&blocked, signal);
    }
    sigset_t mask;
    ::sigprocmask(SIG_BLOCK, &blocked, &mask);
    const pid_t pid = ::fork();
    if (pid == 0) {
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
            setSignalHandler(signal, SIG_IGN);
        }
        setSignalHandler(SIGCHLD, SIG_DFL);
        if (onBoardRemoved != nullptr) {
            setSignalHandler(kBoardRemovedSignal, onBoardRemoved, SA_RESTART);
        } else {
            setSignalHandler(kBoardRemovedSignal, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        return 0;
    }
    const int forkError = errno;
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    errno = forkError;
    return pid;
}
