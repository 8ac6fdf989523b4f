#include "History.h"
#include "HistoryOutbox.h"
#include "HistoryTestSupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <regex>

using testing_support::queryOne;
using testing_support::sampleRecord;
using testing_support::TempDir;

namespace {

const std::regex kUuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

} // namespace

TEST(HistoryOutbox, OldRowsGetIdsAndForwardedRowsAreRecordedBesideThem) {
    TempDir dir;
    const std::string path = (dir.path() / "history.db").string();
    {
        // Schema version 2: rows without ids, station or operator.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* v2 =
            "CREATE TABLE attempts (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
            " front TEXT NOT NULL, tty TEXT, port TEXT, serial TEXT, version_read TEXT,"
            " version_case TEXT, image_version TEXT, image_sha256 TEXT, result TEXT NOT NULL,"
            " error TEXT, reason TEXT, step TEXT, seconds REAL, trace TEXT);"
            "CREATE TRIGGER attempts_never_changed BEFORE UPDATE ON attempts"
            " BEGIN SELECT RAISE(ABORT, 'update history rows are never changed'); END;"
            "INSERT INTO attempts (time, front, serial, result) VALUES"
            " ('2026-11-30T08:00:00Z', 'desktop', 'QRB00007', 'updated'),"
            " ('2026-11-30T08:01:00Z', 'desktop', 'QRB00008', 'failed');"
            "PRAGMA user_version=2;";
        ASSERT_EQ(sqlite3_exec(db, v2, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    AttemptRecord record = sampleRecord();
    record.id = newAttemptId();
    record.station = "line-9";
    ASSERT_TRUE(recordAttempt(record, path));
    ASSERT_TRUE(recordAttempt(sampleRecord(), path)); // id, station, operator by default

    EXPECT_EQ(queryOne(path, "PRAGMA user_version"), "3");
    EXPECT_EQ(queryOne(path, "SELECT count(DISTINCT attempt_id) FROM attempts"), "4");
    for (int row = 1; row <= 4; ++row) {
        const std::string id =
            queryOne(path, "SELECT attempt_id FROM attempts WHERE id = " + std::to_string(row));
        EXPECT_TRUE(std::regex_match(id, kUuid)) << id;
    }
    EXPECT_EQ(queryOne(path, "SELECT attempt_id FROM attempts WHERE id = 3"), record.id);
    EXPECT_EQ(queryOne(path, "SELECT station || ' ' || operator FROM attempts WHERE id = 4"),
              defaultStationName() + " " + currentOperatorName());
    EXPECT_EQ(queryOne(path, "SELECT count(*) FROM attempts WHERE station IS NULL"), "2");

    HistoryOutbox outbox(path);
    std::vector<OutboxRow> waiting = outbox.waiting(10);
    ASSERT_EQ(waiting.size(), 4u);
    EXPECT_EQ(waiting[2].values[0], record.id);
    EXPECT_EQ(waiting[2].values[3], "line-9");
    outbox.markForwarded({waiting[0].row, waiting[2].row});
    outbox.markForwarded({waiting[2].row}); // again: as it was
    waiting = outbox.waiting(10);
    ASSERT_EQ(waiting.size(), 2u);
    EXPECT_EQ(waiting[0].row, 2);
    EXPECT_EQ(waiting[1].row, 4);
    const OutboxStatus status = outbox.status();
    EXPECT_EQ(status.backlog, 2);
    ASSERT_TRUE(status.lastPush.has_value());

    // The rows themselves never change, forwarded or not.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "UPDATE attempts SET station = 'x'", nullptr, nullptr, nullptr),
              SQLITE_CONSTRAINT);
    sqlite3_close(db);
    EXPECT_EQ(HistoryOutbox((dir.path() / "absent.db").string()).status().backlog, 0);
}
