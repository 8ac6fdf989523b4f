#include "History.h"

#include "HistorySchema.h"
#include "Log.h"
#include "StateDirectory.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::atomic<bool> warningIssued{false};

// The one warning of the process about the history; later failures are silent.
void warnOnce(const std::string& path, const std::string& what) {
    if (!warningIssued.exchange(true)) {
        logWarning("Update history not recorded in %s: %s", path.c_str(), what.c_str());
    }
}

struct Failure {
    int code = SQLITE_OK;
    std::string message;
    bool damaged() const { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }
};

// The connection's own message when it is about this failure, else SQLite's
// text for the code.
std::string errorText(sqlite3* db, int code) {
    if (db != nullptr && (sqlite3_extended_errcode(db) & 0xFF) == (code & 0xFF)) {
        return sqlite3_errmsg(db);
    }
    return sqlite3_errstr(code);
}

// Makes the directories above path (mode 0700 for new ones, as for the
// user's state directory).
bool makeParentDirectories(const std::string& path, std::string& problem) {
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) {
        return true;
    }
    std::error_code error;
    std::filesystem::create_directories(parent, error);
    if (error) {
        problem = "cannot create " + parent.string() + ": " + error.message();
        return false;
    }
    return true;
}

// One attempt at appending on an open connection (record null: only making
// the database ready); Failure::code is SQLITE_OK when the row is committed.
Failure appendOn(sqlite3* db, const AttemptRecord* record) {
    auto fail = [db](int code) { return Failure{code, errorText(db, code)}; };
    // The last connection to close would copy the log into the database and
    // remove it, several syncs per row; the log is copied every thousand
    // pages instead, by the commit that fills them.
    int code = sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    code = sqlite3_busy_timeout(db, kHistoryBusyTimeoutMs);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    code = historyschema::prepareForWriting(db, kHistoryBusyTimeoutMs);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    if (record == nullptr) {
        return {};
    }
    sqlite3_stmt* raw = nullptr;
    code = sqlite3_prepare_v2(db, historyschema::kInsertRow, -1, &raw, nullptr);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    int index = 0;
    auto bindText = [&](const std::string& text) {
        ++index;
        return text.empty() ? sqlite3_bind_null(raw, index)
                            : sqlite3_bind_text(raw, index, text.c_str(),
                                                static_cast<int>(text.size()), SQLITE_TRANSIENT);
    };
    auto bindOptional = [&](const std::optional<std::string>& text) {
        return bindText(text.value_or(std::string()));
    };
    bindText(formatHistoryTime(record->time));
    bindText(attemptFrontName(record->front));
    bindText(record->tty);
    bindText(record->port);
    bindText(record->serial);
    bindOptional(record->versionRead);
    bindText(record->versionCase ? attemptCaseName(*record->versionCase) : "");
    bindText(record->imageVersion);
    bindOptional(record->imageSha256);
    bindText(attemptResultName(record->result));
    bindOptional(record->error);
    bindOptional(record->reason);
    bindOptional(record->step);
    ++index;
    if (record->seconds) {
        sqlite3_bind_double(raw, index, *record->seconds);
    } else {
        sqlite3_bind_null(raw, index);
    }
    bindOptional(record->trace);
    bindText(record->id.empty() ? newAttemptId() : record->id);
    bindText(record->station.empty() ? defaultStationName() : record->station);
    bindText(record->operatorName.empty() ? currentOperatorName() : record->operatorName);
    code = sqlite3_step(raw);
    if (code != SQLITE_DONE) {
        return fail(code);
    }
    return {};
}

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    bool exists = false;
};

FileIdentity identityOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return {};
    }
    return {status.st_dev, status.st_ino, true};
}

std::string compactUtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// Renames a damaged history (and its write-ahead log) beside itself, unless
// another process has already put a new file in its place. Returns the new
// name, empty when nothing was renamed.
std::string setAside(const std::string& path, const FileIdentity& damaged) {
    const FileIdentity now = identityOf(path);
    if (!now.exists || now.device != damaged.device || now.inode != damaged.inode) {
        return {};
    }
    std::string target = path + ".corrupt-" + compactUtcNow();
    for (int n = 2; identityOf(target).exists; ++n) {
        target = path + ".corrupt-" + compactUtcNow() + "-" + std::to_string(n);
    }
    if (std::rename(path.c_str(), target.c_str()) != 0) {
        return {};
    }
    std::rename((path + "-wal").c_str(), (target + "-wal").c_str());
    ::unlink((path + "-shm").c_str());
    return target;
}

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

} // namespace

std::string defaultHistoryPath() {
    if (const char* explicitPath = std::getenv("QRB_HISTORY");
        explicitPath != nullptr && *explicitPath != '\0') {
        return explicitPath;
    }
    const std::optional<std::filesystem::path> state = stateDirectory();
    return state ? (*state / "history.db").string() : std::string();
}

namespace {

// Appends record (null: only makes the database ready) as recordAttempt says.
bool openAndAppend(const AttemptRecord* record, const std::string& path) {
    try {
        if (path.empty()) {
            warnOnce("(no file)", "no home directory and no QRB_HISTORY");
            return false;
        }
        std::string problem;
        if (!makeParentDirectories(path, problem)) {
            warnOnce(path, problem);
            return false;
        }
        // A damaged file is set aside once and the row goes into a new one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const FileIdentity before = identityOf(path);
            sqlite3* raw = nullptr;
            int code = sqlite3_open_v2(path.c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
            std::unique_ptr<sqlite3, Closer> db(raw);
            Failure failure =
                code == SQLITE_OK ? appendOn(raw, record) : Failure{code, errorText(raw, code)};
            db.reset();
            if (failure.code == SQLITE_OK) {
                return true;
            }
            if (!failure.damaged() || attempt > 0) {
                warnOnce(path, failure.message);
                return false;
            }
            const std::string aside = setAside(path, before);
            if (!aside.empty()) {
                logWarning("Update history %s is damaged (%s); set aside as %s, a new one "
                           "started.",
                           path.c_str(), failure.message.c_str(), aside.c_str());
            }
        }
    } catch (...) {
        warnOnce(path, "unexpected failure");
    }
    return false;
}

} // namespace

bool recordAttempt(const AttemptRecord& record, const std::string& path) {
    return openAndAppend(&record, path);
}

bool prepareHistory(const std::string& path) {
    return openAndAppend(nullptr, path);
}

bool takeHistoryWarningIssued() {
    return warningIssued.exchange(false);
}
