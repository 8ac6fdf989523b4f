#include "ScratchHistory.h"

#include "AttemptRecord.h"
#include "History.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>

std::vector<std::string> writeScratchHistory(const std::string& path, int count,
                                             const std::string& station,
                                             const std::string& serialPrefix) {
    if (!prepareHistory(path)) {
        throw std::runtime_error("cannot make the history " + path);
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        throw std::runtime_error("cannot open the history " + path);
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* insert = nullptr;
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO attempts (time, front, tty, port, serial, version_read,"
                       " version_case, image_version, result, seconds, attempt_id, station,"
                       " operator) VALUES (?, 'station', ?, 'pci-0000:00:14.0-usb-0:2:1.0', ?,"
                       " '1.2.2', 'older', '1.2.3', 'updated', 17.25, ?, ?, ?)",
                       -1, &insert, nullptr);
    const std::string time = formatHistoryTime(std::chrono::system_clock::now());
    const std::string operatorName = currentOperatorName();
    std::vector<std::string> ids;
    bool ok = insert != nullptr;
    for (int i = 0; ok && i < count; ++i) {
        char serial[64];
        std::snprintf(serial, sizeof serial, "%s%05d", serialPrefix.c_str(), i);
        const std::string tty = "/dev/ttyUSB" + std::to_string(i % 16);
        ids.push_back(newAttemptId());
        sqlite3_bind_text(insert, 1, time.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, tty.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, serial, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 4, ids.back().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 5, station.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 6, operatorName.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    if (!ok) {
        throw std::runtime_error("cannot fill the history " + path);
    }
    return ids;
}
