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
    // Several lines (one per address tried, a hint indented): one line.
    std::string line;
    for (const char c : text) {
        const bool space = c == '\n' || c == '\t' || c == ' ';
        if (!space) {
            line += c;
        } else if (!line.empty() && line.back() != ' ') {
            line += ' ';
        }
    }
    return redactLedgerText(line);
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

// value as a field of COPY's text format, made valid UTF-8 on the way (a
// reason may hold a board's bytes): each byte that does not belong to a
// well-formed character becomes U+FFFD, and a NUL goes.
void appendCopyText(std::string& out, const std::string& value) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(value.data());
    const std::size_t size = value.size();
    for (std::size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        std::size_t length = lead < 0x80           ? 1
                             : (lead >> 5) == 0x6  ? 2
                             : (lead >> 4) == 0xE  ? 3
                             : (lead >> 3) == 0x1E ? 4
                                                   : 0;
        bool valid =
            length > 0 && i + length <= size && !(lead == 0xC0 || lead == 0xC1) && lead <= 0xF4;
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (bytes[i + k] & 0xC0) == 0x80;
        }
        if (valid && length == 3) {
            const unsigned code = ((lead & 0x0Fu) << 12) | ((bytes[i + 1] & 0x3Fu) << 6);
            valid = code >= 0x800 && (code < 0xD800 || code > 0xDFFF);
        } else if (valid && length == 4) {
            const unsigned code = ((lead & 0x07u) << 18) | ((bytes[i + 1] & 0x3Fu) << 12);
            valid = code >= 0x10000 && code <= 0x10FFFF;
        }
        if (!valid) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (length == 1) {
            switch (lead) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                break;
            default:
                out += static_cast<char>(lead);
            }
        } else {
            out.append(value, i, length);
        }
        i += length;
    }
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
    std::string columns;
    for (std::size_t c = 0; c < kOutboxColumnCount; ++c) {
        columns += (c > 0 ? ", " : "") + std::string(kOutboxColumns[c]);
    }
    // The batch is copied into a table of the session's own, then inserted
    // in one statement that leaves out the ids the ledger has: both in one
    // transaction, so a batch is there whole or not at all.
    std::string data;
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < kOutboxColumnCount; ++c) {
            data += c > 0 ? "\t" : "";
            const std::optional<std::string>& value = row.at(c);
            if (value) {
                appendCopyText(data, *value);
            } else {
                data += "\\N";
            }
        }
        data += '\n';
    }
    return inTransaction(conn_, [&] {
        run(conn_,
            "CREATE TEMP TABLE IF NOT EXISTS incoming (LIKE attempts INCLUDING DEFAULTS)"
            " ON COMMIT DELETE ROWS",
            "Cannot prepare the batch on the ledger");
        run(conn_, "COPY incoming (" + columns + ") FROM STDIN", "Cannot send the batch",
            PGRES_COPY_IN);
        if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 ||
            PQputCopyEnd(conn_, nullptr) != 1) {
            failOn(conn_, nullptr, "Cannot send the batch");
        }
        bool copied = true;
        while (PGresult* raw = PQgetResult(conn_)) {
            Result result(raw, PQclear);
            if (PQresultStatus(raw) != PGRES_COMMAND_OK && copied) {
                copied = false;
                try {
                    failOn(conn_, raw, "Cannot send the batch");
                } catch (...) {
                    while (PGresult* rest = PQgetResult(conn_)) {
                        PQclear(rest);
                    }
                    throw;
                }
            }
        }
        Result inserted = run(conn_,
                              "INSERT INTO attempts (" + columns + ") SELECT " + columns +
                                  " FROM incoming ON CONFLICT (id) DO NOTHING",
                              "Cannot insert into the ledger");
        return std::stoll(PQcmdTuples(inserted.get()));
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
