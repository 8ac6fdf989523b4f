#include "HistoryOutbox.h"

#include "AttemptRecord.h"
#include "FirmwareUpdaterException.h"
#include "History.h"
#include "HistorySchema.h"

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <sys/stat.h>

const char* const kOutboxColumns[] = {
    "id",     "time",   "front",        "station",      "operator",      "tty",
    "port",   "serial", "version_read", "version_case", "image_version", "image_sha256",
    "result", "error",  "reason",       "step",         "seconds",       "trace",
};
const std::size_t kOutboxColumnCount = sizeof kOutboxColumns / sizeof kOutboxColumns[0];

namespace {

constexpr const char* kError = "HistoryOutboxError";

// The same columns in the local table.
constexpr const char* kSelectWaiting =
    "SELECT a.id, a.attempt_id, a.time, a.front, a.station, a.operator, a.tty, a.port, a.serial,"
    " a.version_read, a.version_case, a.image_version, a.image_sha256, a.result, a.error,"
    " a.reason, a.step, a.seconds, a.trace FROM attempts a"
    " WHERE a.id > ?1 AND a.attempt_id IS NOT NULL"
    " AND NOT EXISTS (SELECT 1 FROM forwarded f WHERE f.attempt = a.id)"
    " ORDER BY a.id LIMIT ?2";

using Statement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

[[noreturn]] void fail(sqlite3* db, const std::string& path, const char* what, int code) {
    FirmwareUpdaterException::raise(kError, "Cannot %s the update history %s: %s", what,
                                    path.c_str(),
                                    db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

Statement prepare(sqlite3* db, const std::string& path, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int code = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    Statement statement(raw, sqlite3_finalize);
    if (code != SQLITE_OK) {
        fail(db, path, "read", code);
    }
    return statement;
}

} // namespace

HistoryOutbox::HistoryOutbox(const std::string& path) : path_(path) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0) {
        return; // nothing recorded yet: nothing waits
    }
    const int code = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
    if (code != SQLITE_OK) {
        const std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        FirmwareUpdaterException::raise(kError, "Cannot open the update history %s: %s",
                                        path.c_str(), message.c_str());
    }
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_busy_timeout(db_, kHistoryBusyTimeoutMs);
    const int prepared = historyschema::prepareForWriting(db_, kHistoryBusyTimeoutMs);
    if (prepared != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        FirmwareUpdaterException::raise(kError, "Cannot open the update history %s: %s",
                                        path.c_str(), message.c_str());
    }
}

HistoryOutbox::~HistoryOutbox() {
    sqlite3_close_v2(db_);
}

std::vector<OutboxRow> HistoryOutbox::waiting(std::size_t limit, long long after) {
    std::vector<OutboxRow> rows;
    if (db_ == nullptr) {
        return rows;
    }
    Statement statement = prepare(db_, path_, kSelectWaiting);
    sqlite3_bind_int64(statement.get(), 1, after);
    sqlite3_bind_int64(statement.get(), 2, static_cast<sqlite3_int64>(limit));
    int code = SQLITE_ROW;
    while ((code = sqlite3_step(statement.get())) == SQLITE_ROW) {
        OutboxRow row;
        row.row = sqlite3_column_int64(statement.get(), 0);
        row.values.reserve(kOutboxColumnCount);
        for (int i = 1; i <= static_cast<int>(kOutboxColumnCount); ++i) {
            if (sqlite3_column_type(statement.get(), i) == SQLITE_NULL) {
                row.values.emplace_back();
            } else {
                row.values.emplace_back(std::string(
                    reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), i)),
                    static_cast<std::size_t>(sqlite3_column_bytes(statement.get(), i))));
            }
        }
        rows.push_back(std::move(row));
    }
    if (code != SQLITE_DONE) {
        fail(db_, path_, "read", code);
    }
    return rows;
}

void HistoryOutbox::markForwarded(const std::vector<long long>& rows) {
    if (db_ == nullptr || rows.empty()) {
        return;
    }
    int code = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        fail(db_, path_, "write", code);
    }
    const std::string now = formatHistoryTime(std::chrono::system_clock::now());
    {
        Statement statement =
            prepare(db_, path_, "INSERT OR IGNORE INTO forwarded (attempt, time) VALUES (?, ?)");
        for (const long long row : rows) {
            sqlite3_bind_int64(statement.get(), 1, row);
            sqlite3_bind_text(statement.get(), 2, now.c_str(), -1, SQLITE_TRANSIENT);
            code = sqlite3_step(statement.get());
            sqlite3_reset(statement.get());
            if (code != SQLITE_DONE) {
                break;
            }
        }
    }
    if (code == SQLITE_DONE) {
        code = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    }
    if (code != SQLITE_OK && code != SQLITE_DONE) {
        const std::string message = sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        FirmwareUpdaterException::raise(kError, "Cannot write the update history %s: %s",
                                        path_.c_str(), message.c_str());
    }
}

OutboxStatus HistoryOutbox::status() {
    OutboxStatus status;
    if (db_ == nullptr) {
        return status;
    }
    Statement statement = prepare(
        db_, path_,
        "SELECT (SELECT count(*) FROM attempts a WHERE a.attempt_id IS NOT NULL AND NOT EXISTS"
        " (SELECT 1 FROM forwarded f WHERE f.attempt = a.id)), (SELECT max(time) FROM forwarded)");
    const int code = sqlite3_step(statement.get());
    if (code != SQLITE_ROW) {
        fail(db_, path_, "read", code);
    }
    status.backlog = sqlite3_column_int64(statement.get(), 0);
    if (sqlite3_column_type(statement.get(), 1) != SQLITE_NULL) {
        status.lastPush = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
    }
    return status;
}
