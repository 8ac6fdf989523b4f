#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// `qrb-flash ledger init|push|status`; args are the words after "ledger".
//
//   init [--ledger URL]                          create or update the server's schema
//   push [--history PATH] [--ledger URL]         forward every row not yet on the ledger
//   status [--json] [--history PATH] [--ledger URL]   the backlog and the last push
//
// URL defaults to $QRB_LEDGER, PATH to defaultHistoryPath(). Exit status: 0
// done (push: every row is on the ledger), 75 the ledger cannot be reached
// (the rows wait), 78 a schema this program does not know, 64 usage error,
// 1 anything else (the history cannot be read, the server refused).
int runLedgerCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

constexpr int kLedgerExitUnreachable = 75;
constexpr int kLedgerExitSchema = 78;
