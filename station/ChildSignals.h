#pragma once

#include <sys/types.h>

// How every process that the station forks (a board's process, a writer of
// history rows, the ledger forwarder) starts with respect to signals, so that
// they agree by construction.
//
// The station's signals (SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD and the
// board-removed signal) are blocked across fork: one that arrives in that
// window is taken once, by the parent, after the fork, and never by the
// child while it still has the parent's handlers. In the child, before any
// signal is let in:
// - SIGINT, SIGTERM and SIGHUP are ignored: the parent alone decides when
//   the station ends, and stops a child when it must (SIGKILL); a terminal's
//   Ctrl-C or hang-up sent to the whole process group is not for the child.
// - SIGPIPE is ignored: a closed pipe is an error of the write, not the end
//   of the process.
// - SIGCHLD is the default, so that the child may wait for children of its
//   own whatever the station was started with.
// - The board-removed signal runs onBoardRemoved (with SA_RESTART) in a
//   board's process; in any other child it is the default.
// Then the child's mask is emptied, whatever the parent had blocked.
//
// Returns what fork returns: 0 in the child, the child's pid in the parent,
// -1 with errno when there is no process. The parent's mask is as before.
pid_t forkStationChild(void (*onBoardRemoved)(int) = nullptr);

// Sets a signal's disposition: a handler, SIG_IGN or SIG_DFL, with nothing
// more blocked while a handler runs.
void setSignalHandler(int signal, void (*handler)(int), int flags = 0);
