#pragma once

// The history's tables and how a database is brought to the current schema;
// shared by the writer and the reader, nothing outside history/ includes this.

struct sqlite3;

namespace historyschema {

// The statements that take a database from schema version N to N + 1, the
// first from an empty file. Released versions are never changed: a new
// version only appends a step.
extern const char* const kMigrationSteps[];
extern const int kMigrationStepCount;

// The insertion of one row: time, front, tty, port, serial, version_read,
// version_case, image_version, image_sha256, result, error, reason, step,
// seconds, trace, attempt_id, station, operator.
extern const char* const kInsertRow;

// Puts the database into write-ahead logging with full syncs and brings its
// schema up to date, waiting up to busyTimeoutMs for other writers. Returns
// an SQLite result code.
int prepareForWriting(sqlite3* db, int busyTimeoutMs);

// The database's schema version (PRAGMA user_version), or -1 after an error
// (its code in *code).
int schemaVersion(sqlite3* db, int* code);

} // namespace historyschema
