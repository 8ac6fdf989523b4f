#include "HistorySchema.h"

#include "History.h"

#include <sqlite3.h>

#include <string>

namespace historyschema {

const char* const kMigrationSteps[] = {
    // 0 -> 1: the attempts, kept append-only by the two triggers.
    "CREATE TABLE attempts ("
    " id INTEGER PRIMARY KEY,"
    " time TEXT NOT NULL,"
    " front TEXT NOT NULL,"
    " tty TEXT,"
    " port TEXT,"
    " serial TEXT,"
    " version_read TEXT,"
    " version_case TEXT,"
    " image_version TEXT,"
    " image_sha256 TEXT,"
    " result TEXT NOT NULL,"
    " error TEXT,"
    " reason TEXT,"
    " step TEXT,"
    " seconds REAL);"
    "CREATE INDEX attempts_by_serial ON attempts(serial);"
    "CREATE TRIGGER attempts_never_changed BEFORE UPDATE ON attempts"
    " BEGIN SELECT RAISE(ABORT, 'update history rows are never changed'); END;"
    "CREATE TRIGGER attempts_never_deleted BEFORE DELETE ON attempts"
    " BEGIN SELECT RAISE(ABORT, 'update history rows are never deleted'); END;",
    // 1 -> 2: the path of the attempt's serial trace.
    "ALTER TABLE attempts ADD COLUMN trace TEXT;",
    // 2 -> 3: who and where, and the attempt's own id, which the ledger knows
    // it by: earlier rows get a random one now (the one change ever made to a
    // row, with the guard lifted for it). What has been forwarded to the
    // ledger is kept beside the rows, never in them.
    "ALTER TABLE attempts ADD COLUMN attempt_id TEXT;"
    "ALTER TABLE attempts ADD COLUMN station TEXT;"
    "ALTER TABLE attempts ADD COLUMN operator TEXT;"
    "DROP TRIGGER IF EXISTS attempts_never_changed;"
    "UPDATE attempts SET attempt_id = lower(hex(randomblob(4))) || '-' ||"
    " lower(hex(randomblob(2))) || '-4' || substr(lower(hex(randomblob(2))), 2) || '-' ||"
    " substr('89ab', 1 + abs(random() % 4), 1) || substr(lower(hex(randomblob(2))), 2) || '-' ||"
    " lower(hex(randomblob(6)));"
    "CREATE TRIGGER attempts_never_changed BEFORE UPDATE ON attempts"
    " BEGIN SELECT RAISE(ABORT, 'update history rows are never changed'); END;"
    "CREATE UNIQUE INDEX attempts_by_attempt_id ON attempts(attempt_id);"
    "CREATE TABLE forwarded ("
    " attempt INTEGER PRIMARY KEY REFERENCES attempts(id),"
    " time TEXT NOT NULL);",
};
const int kMigrationStepCount = sizeof kMigrationSteps / sizeof kMigrationSteps[0];
static_assert(sizeof kMigrationSteps / sizeof kMigrationSteps[0] == kHistorySchemaVersion);

const char* const kInsertRow =
    "INSERT INTO attempts (time, front, tty, port, serial, version_read, version_case,"
    " image_version, image_sha256, result, error, reason, step, seconds, trace, attempt_id,"
    " station, operator) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

namespace {

// The first column of the first row of a statement, as text.
int queryText(sqlite3* db, const char* sql, std::string& value) {
    sqlite3_stmt* statement = nullptr;
    int code = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
    if (code == SQLITE_OK) {
        code = sqlite3_step(statement);
        if (code == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            value = text != nullptr ? reinterpret_cast<const char*>(text) : "";
            code = SQLITE_OK;
        } else if (code == SQLITE_DONE) {
            value.clear();
            code = SQLITE_OK;
        }
    }
    sqlite3_finalize(statement);
    return code;
}

// Switching to the write-ahead log takes the database for a moment; other
// processes doing the same answer busy without waiting, so try again.
int useWriteAheadLog(sqlite3* db, int busyTimeoutMs) {
    std::string mode;
    int code = queryText(db, "PRAGMA journal_mode", mode);
    for (int waited = 0; code == SQLITE_OK && mode != "wal"; waited += 10) {
        code = queryText(db, "PRAGMA journal_mode=WAL", mode);
        if ((code == SQLITE_BUSY || code == SQLITE_LOCKED) && waited < busyTimeoutMs) {
            sqlite3_sleep(10);
            code = SQLITE_OK;
            mode.clear();
        } else if (code == SQLITE_OK && mode != "wal") {
            return SQLITE_CANTOPEN; // e.g. a database on a file system without shared memory
        }
    }
    return code;
}

} // namespace

int schemaVersion(sqlite3* db, int* code) {
    std::string value;
    *code = queryText(db, "PRAGMA user_version", value);
    return *code == SQLITE_OK ? std::stoi(value.empty() ? "0" : value) : -1;
}

int prepareForWriting(sqlite3* db, int busyTimeoutMs) {
    int code = useWriteAheadLog(db, busyTimeoutMs);
    if (code != SQLITE_OK) {
        return code;
    }
    // A row is on disk when its commit returns: a process killed after it,
    // or the machine losing power, keeps it.
    code = sqlite3_exec(db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        return code;
    }
    int version = schemaVersion(db, &code);
    if (code != SQLITE_OK || version >= kHistorySchemaVersion) {
        // A newer schema only adds to this one: the row goes in as it is.
        return code;
    }
    code = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (code != SQLITE_OK) {
        return code;
    }
    version = schemaVersion(db, &code); // another writer may have done it
    for (; code == SQLITE_OK && version >= 0 && version < kHistorySchemaVersion; ++version) {
        code = sqlite3_exec(db, kMigrationSteps[version], nullptr, nullptr, nullptr);
    }
    if (code == SQLITE_OK && version >= 0) {
        const std::string setVersion = "PRAGMA user_version=" + std::to_string(version);
        code = sqlite3_exec(db, setVersion.c_str(), nullptr, nullptr, nullptr);
    }
    if (code == SQLITE_OK) {
        code = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    }
    if (code != SQLITE_OK) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return code;
}

} // namespace historyschema
