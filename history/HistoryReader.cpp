#include "HistoryReader.h"

#include "History.h"

#include <sqlite3.h>

#include <algorithm>
#include <memory>

namespace {

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

} // namespace

std::vector<StoredRow> readHistoryRows(const std::string& path, const HistoryQuery& query) {
    sqlite3* raw = nullptr;
    int code = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, Closer> db(raw);
    sqlite3_stmt* statement = nullptr;
    if (code == SQLITE_OK) {
        sqlite3_busy_timeout(raw, kHistoryBusyTimeoutMs);
        // A file older than the station column is read without asking for it.
        const std::string sql =
            std::string("SELECT * FROM attempts WHERE (?1 IS NULL OR serial = ?1)"
                        " AND (?2 IS NULL OR time >= ?2)") +
            (query.station ? " AND station = ?4" : "") + " ORDER BY id DESC LIMIT ?3";
        code = sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr);
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
    const auto failed = [&](int failure) {
        return HistoryReadError(raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(failure));
    };
    if (code != SQLITE_OK) {
        throw failed(code);
    }
    if (query.serial) {
        sqlite3_bind_text(statement, 1, query.serial->c_str(), -1, SQLITE_TRANSIENT);
    }
    if (query.since) {
        sqlite3_bind_text(statement, 2, query.since->c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_bind_int64(statement, 3, query.limit);
    if (query.station) {
        sqlite3_bind_text(statement, 4, query.station->c_str(), -1, SQLITE_TRANSIENT);
    }

    std::vector<StoredRow> rows;
    while ((code = sqlite3_step(statement)) == SQLITE_ROW) {
        StoredRow row;
        for (int i = 0; i < sqlite3_column_count(statement); ++i) {
            StoredValue value;
            switch (sqlite3_column_type(statement, i)) {
            case SQLITE_NULL:
                break;
            case SQLITE_INTEGER:
            case SQLITE_FLOAT:
                value = sqlite3_column_double(statement, i);
                break;
            default:
                value =
                    std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)),
                                static_cast<std::size_t>(sqlite3_column_bytes(statement, i)));
                break;
            }
            row.columns.emplace_back(sqlite3_column_name(statement, i), std::move(value));
        }
        rows.push_back(std::move(row));
    }
    if (code != SQLITE_DONE) {
        throw failed(code);
    }
    std::reverse(rows.begin(), rows.end());
    return rows;
}
