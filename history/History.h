#pragma once

#include "AttemptRecord.h"

#include <optional>
#include <string>

// The update history: one SQLite database file, one row per attempt, appended
// and never changed. Both front ends write it; many processes may append at
// once (write-ahead log, a busy time-out), and a process killed during a
// write leaves every earlier row intact (each row is committed with a full
// sync).
//
// Recording never stops an update: every failure (a directory that cannot be
// made or written, a full disk, a database locked for longer than the busy
// time-out, a damaged file) is reported as one warning line per process
// (common/Log.h, hence the journal and standard error) and the row is lost.
// A file that is not an SQLite database (or not a regular file) is never
// opened, moved or changed: nothing is recorded there, with the one warning.
// A damaged SQLite database is renamed beside itself to
// "<name>.corrupt-<UTC time>" (with its write-ahead log) and a new history is
// started, with a warning; this happens under an exclusive flock(2) of the
// history's directory, which every writer holds shared while it has the
// database open, so that no process ever moves files another one is using.
//
// A history that the updater creates is mode 0600 (SQLite gives its -wal and
// -shm the same), its directories 0700; an existing one keeps its mode.

// The schema version this build writes (PRAGMA user_version). Version 1 had
// no trace column, version 2 no attempt id, station, operator and no record
// of what was forwarded to the ledger; a database of an earlier version is
// brought up to date when a row is appended.
constexpr int kHistorySchemaVersion = 3;

// How long an append waits for other writers before it gives up.
constexpr int kHistoryBusyTimeoutMs = 5000;

// The history file: $QRB_HISTORY when set and not empty, else history.db in
// the state directory (common/StateDirectory.h: $XDG_STATE_HOME/qrb-updater
// or ~/.local/state/qrb-updater); empty when there is none (no home
// directory).
std::string defaultHistoryPath();

// Appends record to the history at path (created, with its directories,
// when missing). Never throws; returns whether the row was committed.
bool recordAttempt(const AttemptRecord& record, const std::string& path);

// Makes the history at path ready for rows (created, brought to the current
// schema, a damaged file set aside) without appending one: a parent process
// does it once before its children write. Never throws; false (after the
// process's one warning) when rows cannot be written there.
bool prepareHistory(const std::string& path);

// For tests: whether this process has written its one warning; resets it.
bool takeHistoryWarningIssued();
