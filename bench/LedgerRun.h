#pragma once

#include <filesystem>

// The ledger's figures: 10,000 rows forwarded over a Unix socket to a
// PostgreSQL server that the bench starts itself, as `ledger: N rows/s`, and
// the time the station's forwarding takes to drain a backlog of 10,000 rows
// once the server is back after an outage. Prints them; false when a run
// failed.
bool printLedgerRun(const std::filesystem::path& dir);
