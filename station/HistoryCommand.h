#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// `history [--json] [--serial SERIAL] [--since DATE] [--limit N] [--history PATH]`:
// prints the update history (by default the file of defaultHistoryPath()),
// oldest first and newest last. Without --json a table; with it one JSON
// object per row and line, with the keys time, front, tty, port, serial,
// from, case, to, image_sha256, result, error, reason, step, seconds (and
// trace), each absent where unknown. --serial keeps the rows of one adapter,
// --since those from a day (YYYY-MM-DD, UTC) or a moment
// (YYYY-MM-DDTHH:MM:SSZ) on, --limit N the newest N of them.
//
// args are the words after "history". Returns the exit status: 0 (also for a
// history that does not exist yet), 1 when the file cannot be read, 64 for a
// usage error (message on err).
int runHistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
