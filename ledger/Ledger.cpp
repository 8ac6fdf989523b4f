#include "Ledger.h"

#include "HistoryOutbox.h"
#include "LedgerUrl.h"

#include <libpq-fe.h>

#include <memory>

namespace {

const char* failureName(LedgerFailure kind) {
    switch (kind) {
    case LedgerFailure::Unreachable:
        return "LedgerUnreachableError";
    case LedgerFailure::UnknownSchema:
        return "LedgerSchemaError";
    case LedgerFailure::Refused:
        return "LedgerError";
    }
    return "LedgerError";
}

// The schema, one step per version; released steps are never changed.
const char* const kSchemaSteps[] = {
    // 0 -> 1
    "CREATE TABLE attempts ("
    " id uuid PRIMARY KEY,"
    " time timestamptz NOT NULL,"
    " front text NOT NULL,"
    " station text,"
    " operator text,"
    " tty text,"
    " port text,"
    " serial text,"
    " version_read text,"
    " version_case text,"
    " image_version text,"
    " image_sha256 text,"
    " result text NOT NULL,"
    " error text,"
    " reason text,"
    " step text,"
    " seconds double precision,"
    " trace text,"
    " received timestamptz NOT NULL DEFAULT now());"
    "CREATE INDEX attempts_by_serial ON attempts (serial);"
    "CREATE INDEX attempts_by_station ON attempts (station);"
    "CREATE INDEX attempts_by_time ON attempts (time);",
};
static_assert(sizeof kSchemaSteps / sizeof kSchemaSteps[0] == kLedgerSchemaVersion);

// A number that only this program's schema changes lock on.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7215366090417)";

using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;

std::string messageOf(PGconn* conn) {
    std::string text = conn != nullptr ? PQerrorMessage(conn) : "out of memory";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    // Several lines (one per address tried): one line.
    for (char& c : text) {
        if (c == '\n') {
            c = ' ';
        }
    }
    return redactLedgerText(text);
}

// A statement that failed: the server refused it, or the connection is gone
// (no answer, a connection error, the server shutting down or starting).
[[noreturn]] void failOn(PGconn* conn, const PGresult* result, const std::string& what) {
    const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const std::string code = state != nullptr ? state : "";
    const bool gone = PQstatus(conn) != CONNECTION_OK || code.empty() || code.starts_with("08") ||
                      code.starts_with("57P");
    throw LedgerException(gone ? LedgerFailure::Unreachable : LedgerFailure::Refused,
                          what + ": " + messageOf(conn));
}

Result run(PGconn* conn, const std::string& sql, const std::string& what,
           ExecStatusType expected = PGRES_COMMAND_OK) {
    Result result(PQexec(conn, sql.c_str()), PQclear);
    if (PQresultStatus(result.get()) != expected) {
        failOn(conn, result.get(), what);
    }
    return result;
}

// The server's schema version: 0 when it has none.
int schemaVersionOf(PGconn* conn) {
    Result exists = run(conn, "SELECT to_regclass('ledger_schema') IS NOT NULL",
                        "Cannot read the ledger's schema", PGRES_TUPLES_OK);
    if (std::string(PQgetvalue(exists.get(), 0, 0)) != "t") {
        return 0;
    }
    Result version = run(conn, "SELECT max(version) FROM ledger_schema",
                         "Cannot read the ledger's schema", PGRES_TUPLES_OK);
    return PQgetisnull(version.get(), 0, 0) ? 0 : std::stoi(PQgetvalue(version.get(), 0, 0));
}

// Runs body in a transaction; rolls back when it throws.
template <typename Body> auto inTransaction(PGconn* conn, Body body) {
    run(conn, "BEGIN", "Cannot begin a transaction on the ledger");
    try {
        auto value = body();
        run(conn, "COMMIT", "Cannot commit on the ledger");
        return value;
    } catch (...) {
        if (PQstatus(conn) == CONNECTION_OK) {
            Result(PQexec(conn, "ROLLBACK"), PQclear);
        }
        throw;
    }
}

} // namespace

const char* const kLedgerReadColumns[] = {
    "id",     "time",         "front",        "station",       "operator",     "tty",    "port",
    "serial", "version_read", "version_case", "image_version", "image_sha256", "result", "error",
    "reason", "step",         "seconds",      "trace",         "received",
};
const std::size_t kLedgerReadColumnCount = sizeof kLedgerReadColumns / sizeof kLedgerReadColumns[0];

LedgerException::LedgerException(LedgerFailure kind, std::string reason)
    : FirmwareUpdaterException(failureName(kind), std::move(reason)), kind_(kind) {}

LedgerConnection::LedgerConnection(const std::string& url, int connectTimeoutSeconds) {
    // Key words first, so that the address's own take precedence.
    const std::string timeout = std::to_string(connectTimeoutSeconds);
    const char* const keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char* const values[] = {timeout.c_str(), "qrb-flash", url.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string message = messageOf(conn_);
        PQfinish(conn_);
        conn_ = nullptr;
        throw LedgerException(LedgerFailure::Unreachable,
                              "Cannot reach the ledger " + redactLedgerText(url) + ": " + message);
    }
    // The server's notices (a shutdown's farewell among them) are not ours to print.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    Result(PQexec(conn_, "SET client_min_messages = warning"), PQclear);
}

LedgerConnection::~LedgerConnection() {
    PQfinish(conn_);
}

int LedgerConnection::initialize() {
    return inTransaction(conn_, [&] {
        run(conn_, kSchemaLock, "Cannot lock the ledger's schema", PGRES_TUPLES_OK);
        const int before = schemaVersionOf(conn_);
        if (before > kLedgerSchemaVersion) {
            throw LedgerException(LedgerFailure::UnknownSchema,
                                  "The ledger's schema version " + std::to_string(before) +
                                      " is newer than this program's (" +
                                      std::to_string(kLedgerSchemaVersion) + ")");
        }
        if (before == 0) {
            run(conn_, "CREATE TABLE ledger_schema (version integer NOT NULL)",
                "Cannot create the ledger's schema");
            run(conn_, "INSERT INTO ledger_schema VALUES (0)", "Cannot create the ledger's schema");
        }
        for (int version = before; version < kLedgerSchemaVersion; ++version) {
            run(conn_, kSchemaSteps[version],
                "Cannot bring the ledger's schema to version " + std::to_string(version + 1));
        }
        run(conn_, "UPDATE ledger_schema SET version = " + std::to_string(kLedgerSchemaVersion),
            "Cannot record the ledger's schema version");
        return before;
    });
}

void LedgerConnection::checkSchema() {
    const int version = schemaVersionOf(conn_);
    if (version == 0) {
        throw LedgerException(LedgerFailure::UnknownSchema,
                              "The ledger has no schema yet: run 'qrb-flash ledger init'");
    }
    if (version != kLedgerSchemaVersion) {
        throw LedgerException(
            LedgerFailure::UnknownSchema,
            "The ledger's schema version " + std::to_string(version) +
                (version > kLedgerSchemaVersion
                     ? " is newer than this program's (" + std::to_string(kLedgerSchemaVersion) +
                           ")"
                     : " is older than this program's: run 'qrb-flash ledger init'"));
    }
}

long long
LedgerConnection::insert(const std::vector<std::vector<std::optional<std::string>>>& rows) {
    if (rows.empty()) {
        return 0;
    }
    std::string sql = "INSERT INTO attempts (";
    for (std::size_t c = 0; c < kOutboxColumnCount; ++c) {
        sql += (c > 0 ? ", " : "") + std::string(kOutboxColumns[c]);
    }
    sql += ") VALUES ";
    std::vector<const char*> values;
    values.reserve(rows.size() * kOutboxColumnCount);
    int parameter = 0;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        sql += r > 0 ? ",(" : "(";
        for (std::size_t c = 0; c < kOutboxColumnCount; ++c) {
            sql += (c > 0 ? ",$" : "$") + std::to_string(++parameter);
            const std::optional<std::string>& value = rows[r].at(c);
            values.push_back(value ? value->c_str() : nullptr);
        }
        sql += ")";
    }
    sql += " ON CONFLICT (id) DO NOTHING";
    return inTransaction(conn_, [&] {
        Result result(PQexecParams(conn_, sql.c_str(), parameter, nullptr, values.data(), nullptr,
                                   nullptr, 0),
                      PQclear);
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            failOn(conn_, result.get(), "Cannot insert into the ledger");
        }
        return std::stoll(PQcmdTuples(result.get()));
    });
}

PushResult pushHistory(LedgerConnection& ledger, const std::string& historyPath,
                       const std::function<void(const PushResult&)>& afterBatch) {
    ledger.checkSchema();
    HistoryOutbox outbox(historyPath);
    PushResult result;
    for (;;) {
        const std::vector<OutboxRow> batch = outbox.waiting(kLedgerBatchRows);
        if (batch.empty()) {
            break;
        }
        std::vector<std::vector<std::optional<std::string>>> rows;
        std::vector<long long> numbers;
        rows.reserve(batch.size());
        for (const OutboxRow& row : batch) {
            rows.push_back(row.values);
            numbers.push_back(row.row);
        }
        result.new_ += ledger.insert(rows);
        outbox.markForwarded(numbers);
        result.sent += static_cast<long long>(batch.size());
        if (afterBatch) {
            afterBatch(result);
        }
    }
    result.waiting = outbox.status().backlog;
    return result;
}

std::vector<std::vector<std::optional<std::string>>> readLedger(LedgerConnection& ledger,
                                                                const LedgerQuery& query) {
    ledger.checkSchema();
    std::string sql = "SELECT ";
    for (std::size_t c = 0; c < kLedgerReadColumnCount; ++c) {
        const std::string name = kLedgerReadColumns[c];
        sql += c > 0 ? ", " : "";
        if (name == "time" || name == "received") {
            sql += "to_char(" + name + " AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS\"Z\"')";
        } else if (name == "id" || name == "seconds") {
            sql += name + "::text";
        } else {
            sql += name;
        }
    }
    sql += " FROM attempts WHERE ($1::text IS NULL OR station = $1)"
           " AND ($2::text IS NULL OR serial = $2)"
           " AND ($3::timestamptz IS NULL OR time >= $3::timestamptz)"
           " ORDER BY time DESC, received DESC, id DESC";
    if (query.limit >= 0) {
        sql += " LIMIT " + std::to_string(query.limit);
    }
    const std::string since =
        query.since ? (query.since->size() == 10 ? *query.since + "T00:00:00Z" : *query.since)
                    : std::string();
    const char* values[] = {query.station ? query.station->c_str() : nullptr,
                            query.serial ? query.serial->c_str() : nullptr,
                            query.since ? since.c_str() : nullptr};
    PGconn* conn = ledger.handle();
    Result result(PQexecParams(conn, sql.c_str(), 3, nullptr, values, nullptr, nullptr, 0),
                  PQclear);
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
        failOn(conn, result.get(), "Cannot read the ledger");
    }
    std::vector<std::vector<std::optional<std::string>>> rows;
    const int count = PQntuples(result.get());
    rows.reserve(static_cast<std::size_t>(count));
    for (int r = count - 1; r >= 0; --r) {
        std::vector<std::optional<std::string>> row;
        for (int c = 0; c < static_cast<int>(kLedgerReadColumnCount); ++c) {
            if (PQgetisnull(result.get(), r, c)) {
                row.emplace_back();
            } else {
                row.emplace_back(
                    std::string(PQgetvalue(result.get(), r, c),
                                static_cast<std::size_t>(PQgetlength(result.get(), r, c))));
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}
