#pragma once

#include <string>

// The ledger's address: a libpq connection string ("host=db dbname=qrb") or
// URI ("postgresql://station@db/qrb"). Credentials come the way libpq takes
// them (~/.pgpass, PGPASSFILE, sslmode and its certificates); a password
// written into the address is never shown.

// text with every password in it replaced by "***": the one of a URI's user
// information ("postgresql://ann:***@db/qrb"), and every "password=..."
// (a URI's query parameter, a connection string's key word, quoted or not).
// Any message that may hold an address goes through this before it is shown.
std::string redactLedgerText(const std::string& text);

// The address to use: url unless empty, else $QRB_LEDGER; empty when neither.
std::string ledgerUrlOrDefault(const std::string& url);
