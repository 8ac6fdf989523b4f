#include "History.h"

#include "HistorySchema.h"
#include "Log.h"
#include "PrivateFiles.h"
#include "StateDirectory.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
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
    problem = makePrivateDirectories(std::filesystem::path(path).parent_path());
    return problem.empty();
}

// One attempt at appending on an open connection (record null: only making
// the database ready); Failure::code is SQLITE_OK when the row is committed.
Failure appendOn(sqlite3* db, const AttemptRecord* record, int busyTimeoutMs) {
    auto fail = [db](int code) { return Failure{code, errorText(db, code)}; };
    // The last connection to close would copy the log into the database and
    // remove it, several syncs per row; the log is copied every thousand
    // pages instead, by the commit that fills them.
    int code = sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    code = sqlite3_busy_timeout(db, busyTimeoutMs);
    if (code != SQLITE_OK) {
        return fail(code);
    }
    code = historyschema::prepareForWriting(db, busyTimeoutMs);
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
    noteDurableStep(DurableStep::RowCommitted, record->trace.value_or(std::string()));
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
// another process has already put a new file in its place; the caller holds
// the history's lock exclusively, so no process of the updater has the
// database open and its -wal and -shm are the damaged one's. Returns the new
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

// What lies at the history's path before it is opened.
enum class FileKind { Missing, Empty, Database, NotADatabase, NotAFile };

FileKind kindOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return errno == ENOENT ? FileKind::Missing : FileKind::Database; // SQLite says why
    }
    if (!S_ISREG(status.st_mode)) {
        return FileKind::NotAFile;
    }
    if (status.st_size == 0) {
        return FileKind::Empty; // a new database, as SQLite takes it
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return FileKind::Database; // unreadable: SQLite says why
    }
    static constexpr char kMagic[] = "SQLite format 3"; // and its terminating zero
    char header[sizeof kMagic] = {};
    const ssize_t n = ::read(fd, header, sizeof header);
    ::close(fd);
    if (n == static_cast<ssize_t>(sizeof header) &&
        std::memcmp(header, kMagic, sizeof header) == 0) {
        return FileKind::Database;
    }
    // A new database that another writer is filling (its first checkpoint
    // has extended the file and not yet written the header) reads as zeros,
    // or is still shorter than the header: it is ours, and SQLite waits for
    // it. Anything else is somebody else's file.
    const bool unwritten =
        std::all_of(header, header + std::max<ssize_t>(n, 0), [](char c) { return c == '\0'; });
    return unwritten ? FileKind::Database : FileKind::NotADatabase;
}

// Creates a missing history as the user's alone (0600); SQLite gives its
// -wal and -shm the database's mode. False when it cannot be created.
bool createPrivately(const std::string& path, std::string& problem) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0 && errno != EEXIST) {
        problem = std::strerror(errno);
        return false;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return true;
}

// The history's lock: a flock(2) on its directory, shared by every process
// that has the database open, exclusive for the one that sets a damaged
// database aside. Taken only until a deadline; never held across a fork.
class HistoryLock {
  public:
    explicit HistoryLock(const std::string& path) {
        std::filesystem::path dir = std::filesystem::path(path).parent_path();
        fd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    ~HistoryLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    HistoryLock(const HistoryLock&) = delete;
    HistoryLock& operator=(const HistoryLock&) = delete;

    // operation: LOCK_SH or LOCK_EX. A directory that cannot be locked is
    // shared all the same (nothing else takes the lock exclusively), never
    // exclusive.
    bool take(int operation, std::chrono::steady_clock::time_point deadline) {
        if (fd_ < 0) {
            return operation == LOCK_SH;
        }
        for (;;) {
            if (::flock(fd_, operation | LOCK_NB) == 0) {
                exclusive_ = operation == LOCK_EX;
                return true;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno != EWOULDBLOCK) {
                return operation == LOCK_SH;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    void release() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
        }
        exclusive_ = false;
    }
    bool exclusive() const { return exclusive_; }

  private:
    int fd_ = -1;
    bool exclusive_ = false;
};

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
// Every wait (for the lock, for other writers) shares one busy time-out.
bool openAndAppend(const AttemptRecord* record, const std::string& path) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(kHistoryBusyTimeoutMs);
    const auto msLeft = [deadline] {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 1));
    };
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
        // A file that is not a database is somebody else's: never touched.
        switch (kindOf(path)) {
        case FileKind::NotADatabase:
            warnOnce(path, "it is not an SQLite database; it is left as it is");
            return false;
        case FileKind::NotAFile:
            warnOnce(path, "it is not a regular file");
            return false;
        case FileKind::Missing:
            if (!createPrivately(path, problem)) {
                warnOnce(path, problem);
                return false;
            }
            break;
        case FileKind::Empty:
        case FileKind::Database:
            break;
        }
        HistoryLock lock(path);
        // A damaged database is set aside once and the row goes into a new one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!lock.take(LOCK_SH, deadline)) {
                warnOnce(path, "another process held it for longer than the busy time-out");
                return false;
            }
            const FileIdentity before = identityOf(path);
            sqlite3* raw = nullptr;
            int code = sqlite3_open_v2(path.c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
            std::unique_ptr<sqlite3, Closer> db(raw);
            Failure failure = code == SQLITE_OK ? appendOn(raw, record, msLeft())
                                                : Failure{code, errorText(raw, code)};
            db.reset();
            if (failure.code == SQLITE_OK) {
                return true;
            }
            if (!failure.damaged() || attempt > 0) {
                warnOnce(path, failure.message);
                return false;
            }
            lock.release();
            // The lock alone, unless another process sets the file aside
            // meanwhile: then the row goes into the new one at once.
            bool replaced = false;
            while (!lock.take(LOCK_EX, Clock::now())) {
                const FileIdentity now = identityOf(path);
                replaced = now.exists && (now.device != before.device || now.inode != before.inode);
                if (replaced || Clock::now() >= deadline) {
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            // The lock may come only after another process has set the file
            // aside and started a new one: that one is not damaged.
            if (!replaced && lock.exclusive()) {
                const FileIdentity now = identityOf(path);
                replaced = now.exists && (now.device != before.device || now.inode != before.inode);
            }
            if (replaced) {
                lock.release();
                continue;
            }
            if (!lock.exclusive()) {
                warnOnce(path, failure.message + "; it could not be set aside");
                return false;
            }
            const std::string aside = setAside(path, before);
            // A writer that found no file at all (between the rename and
            // here) may have created the new one first: that one serves.
            const bool recreated = createPrivately(path, problem) || identityOf(path).exists;
            lock.release();
            if (!aside.empty()) {
                logWarning("Update history %s is damaged (%s); set aside as %s, a new one "
                           "started.",
                           path.c_str(), failure.message.c_str(), aside.c_str());
            }
            if (!recreated) {
                warnOnce(path, problem);
                return false;
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
