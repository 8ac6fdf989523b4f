#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// `history [--json | --csv] [--serial SERIAL] [--station NAME] [--since DATE]
// [--limit N] [--history PATH | --ledger URL]`: prints the update history (by
// default the file of defaultHistoryPath(); with --ledger every station's
// rows on the ledger), oldest first and newest last. Without --json a table;
// with it one JSON object per row and line, with the keys time, front, tty,
// port, serial, from, case, to, image_sha256, result, error, reason, step,
// seconds, trace, id, station, operator (and from the ledger received), each
// absent where unknown; with --csv the same as RFC 4180, a header line of
// those keys first. --serial keeps the rows of one adapter, --station those
// of one station, --since those from a day (YYYY-MM-DD, UTC) or a moment
// (YYYY-MM-DDTHH:MM:SSZ) on, --limit N the newest N of them.
//
// args are the words after "history". Returns the exit status: 0 (also for a
// history that does not exist yet), 1 when the file cannot be read, 64 for a
// usage error (message on err), 75 when the ledger cannot be reached, 78 for
// a ledger schema this program does not know.
int runHistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
