#pragma once

#include "FirmwareUpdaterException.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The ledger: every station's update history in one PostgreSQL database.
// Its table attempts holds the local columns and the attempt's id (the
// primary key), station, operator and received (the server's time of
// arrival); rows go in once, whoever sends them how often.

// The schema version of the ledger this build knows (table ledger_schema).
constexpr int kLedgerSchemaVersion = 1;

// Rows per transaction when forwarding.
constexpr std::size_t kLedgerBatchRows = 1000;

// What went wrong with the ledger; the reasons never hold a password.
enum class LedgerFailure {
    Unreachable,   // "LedgerUnreachableError": no connection, or it broke
    UnknownSchema, // "LedgerSchemaError": no schema, or one this build does not know
    Refused,       // "LedgerError": the server refused a statement
};

class LedgerException : public FirmwareUpdaterException {
  public:
    LedgerException(LedgerFailure kind, std::string reason);
    LedgerFailure kind() const noexcept { return kind_; }

  private:
    LedgerFailure kind_;
};

// One connection to the ledger.
class LedgerConnection {
  public:
    // Connects to url (a libpq connection string or URI), giving up after
    // connectTimeoutSeconds unless the url says otherwise.
    explicit LedgerConnection(const std::string& url, int connectTimeoutSeconds = 5);
    ~LedgerConnection();
    LedgerConnection(const LedgerConnection&) = delete;
    LedgerConnection& operator=(const LedgerConnection&) = delete;

    // Creates the schema, or brings an older one up to date; a current one
    // is left as it is. Returns the version found before (0: none).
    int initialize();
    // Throws UnknownSchema unless the server's schema is this build's.
    void checkSchema();
    // Inserts rows (per kOutboxColumns) in one transaction; rows whose id the
    // ledger has are left out. Returns how many were new.
    long long insert(const std::vector<std::vector<std::optional<std::string>>>& rows);

    struct pg_conn* handle() const {
        return conn_;
    }

  private:
    struct pg_conn* conn_ = nullptr;
};

// What a push did.
struct PushResult {
    long long sent = 0;    // rows sent (and recorded as forwarded)
    long long new_ = 0;    // of them, new to the ledger
    long long waiting = 0; // rows still waiting
};

// Forwards every row of the history at historyPath that is not yet on the
// ledger, in batches, oldest first; each batch is recorded as forwarded once
// the server has committed it. afterBatch, when set, is called after each.
// Throws LedgerException (the rows not sent wait) or FirmwareUpdaterException
// (the history cannot be read).
PushResult pushHistory(LedgerConnection& ledger, const std::string& historyPath,
                       const std::function<void(const PushResult&)>& afterBatch = {});

// Which rows to read from the ledger.
struct LedgerQuery {
    std::optional<std::string> station;
    std::optional<std::string> serial;
    std::optional<std::string> since; // "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM:SSZ", UTC
    long long limit = -1;             // the newest N; -1: all
};

// The ledger's rows, oldest first and newest last: each row's values per
// kLedgerReadColumns, absent for unknown.
extern const char* const kLedgerReadColumns[];
extern const std::size_t kLedgerReadColumnCount;
std::vector<std::vector<std::optional<std::string>>> readLedger(LedgerConnection& ledger,
                                                                const LedgerQuery& query);
