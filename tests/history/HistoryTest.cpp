#include "FileDigest.h"
#include "History.h"
#include "HistoryTestSupport.h"
#include "LogCapture.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using testing_support::historyJson;
using testing_support::LogCapture;
using testing_support::queryOne;
using testing_support::sampleRecord;
using testing_support::TempDir;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> filesIn(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// An SQLite database whose header is damaged past its first 16 bytes.
std::string damagedDatabase() {
    return std::string("SQLite format 3") + '\0' + std::string(8176, 'x');
}

int modeOf(const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 07777) : -1;
}

class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnvironment() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(HistoryStore, DefaultPathFollowsTheEnvironment) {
    ScopedEnvironment home("HOME", "/home/tester");
    {
        ScopedEnvironment explicitPath("QRB_HISTORY", "/srv/line/history.db");
        ScopedEnvironment state("XDG_STATE_HOME", "/tmp/state");
        EXPECT_EQ(defaultHistoryPath(), "/srv/line/history.db");
    }
    {
        ScopedEnvironment explicitPath("QRB_HISTORY", "");
        ScopedEnvironment state("XDG_STATE_HOME", "/tmp/state");
        EXPECT_EQ(defaultHistoryPath(), "/tmp/state/qrb-updater/history.db");
    }
    {
        ScopedEnvironment explicitPath("QRB_HISTORY", nullptr);
        ScopedEnvironment state("XDG_STATE_HOME", "relative/state"); // ignored, as XDG says
        EXPECT_EQ(defaultHistoryPath(), "/home/tester/.local/state/qrb-updater/history.db");
    }
}

TEST(HistoryStore, CreatesItsDirectoriesAndKeepsRowsAppendOnly) {
    TempDir dir;
    const std::string path = (dir.path() / "state" / "qrb-updater" / "history.db").string();
    ASSERT_TRUE(recordAttempt(sampleRecord("QRB00001"), path));
    ASSERT_TRUE(recordAttempt(sampleRecord("QRB00002"), path));

    EXPECT_EQ(queryOne(path, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(queryOne(path, "PRAGMA user_version"), std::to_string(kHistorySchemaVersion));
    EXPECT_EQ(queryOne(path, "SELECT count(*) FROM attempts"), "2");
    EXPECT_EQ(queryOne(path, "UPDATE attempts SET result = 'updated'").rfind("ERROR", 0), 0u);
    EXPECT_EQ(queryOne(path, "DELETE FROM attempts").rfind("ERROR", 0), 0u);
    EXPECT_EQ(queryOne(path, "SELECT group_concat(serial) FROM attempts"), "QRB00001,QRB00002");
    EXPECT_FALSE(takeHistoryWarningIssued());
}

TEST(HistoryStore, MigratesADatabaseOfThePreviousSchema) {
    TempDir dir;
    const std::string path = (dir.path() / "history.db").string();
    {
        // As the first release left it: no trace column.
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* v1 =
            "PRAGMA journal_mode=WAL;"
            "CREATE TABLE attempts (id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
            " front TEXT NOT NULL, tty TEXT, port TEXT, serial TEXT, version_read TEXT,"
            " version_case TEXT, image_version TEXT, image_sha256 TEXT, result TEXT NOT NULL,"
            " error TEXT, reason TEXT, step TEXT, seconds REAL);"
            "CREATE INDEX attempts_by_serial ON attempts(serial);"
            "INSERT INTO attempts (time, front, tty, serial, version_read, version_case,"
            " image_version, result, seconds) VALUES ('2026-11-30T08:00:00Z', 'desktop',"
            " '/dev/ttyUSB0', 'QRB00007', '1.0.0', 'older', '1.2.3', 'updated', 48.5);"
            "PRAGMA user_version=1;";
        ASSERT_EQ(sqlite3_exec(db, v1, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    AttemptRecord record = sampleRecord();
    record.trace = "/var/tmp/trace-1";
    ASSERT_TRUE(recordAttempt(record, path));

    EXPECT_EQ(queryOne(path, "PRAGMA user_version"), std::to_string(kHistorySchemaVersion));
    const auto rows = historyJson(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["serial"], "QRB00007");
    EXPECT_EQ(rows[0]["seconds"], 48.5);
    EXPECT_FALSE(rows[0].contains("trace"));
    EXPECT_EQ(rows[1]["trace"], "/var/tmp/trace-1");
}

TEST(HistoryStore, SetsADamagedFileAsideAndStartsANewOne) {
    TempDir dir;
    const std::string path = dir.writeFile("history.db", damagedDatabase());
    LogCapture log;
    ASSERT_TRUE(recordAttempt(sampleRecord(), path));

    const auto names = filesIn(dir.path());
    const auto aside = std::find_if(names.begin(), names.end(), [](const std::string& name) {
        return name.rfind("history.db.corrupt-", 0) == 0;
    });
    ASSERT_NE(aside, names.end()) << ::testing::PrintToString(names);
    EXPECT_EQ(readFile((dir.path() / *aside).string()), damagedDatabase());
    EXPECT_EQ(queryOne(path, "SELECT count(*) FROM attempts"), "1");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("set aside as"), std::string::npos) << log.lines()[0];
    EXPECT_FALSE(takeHistoryWarningIssued()); // the row was not lost
}

// A file named by mistake (--history results.jsonl): nothing is recorded,
// one warning says why, and the file is neither moved nor changed; nor is
// anything that is not a file opened (a FIFO would wait for a writer).
TEST(HistoryStore, AFileThatIsNotADatabaseIsNeverTouched) {
    TempDir dir;
    const std::string text = "{\"event\":\"summary\",\"failed\":0}\n";
    const std::string path = dir.writeFile("results.jsonl", text);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    LogCapture log;
    EXPECT_FALSE(prepareHistory(path));
    EXPECT_FALSE(recordAttempt(sampleRecord(), path));
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_EQ(readFile(path), text);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{"results.jsonl"});
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "Update history not recorded in " + path +
                                  ": it is not an SQLite database; it is left as it is");
    EXPECT_TRUE(takeHistoryWarningIssued());

    const std::string fifo = (dir.path() / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(recordAttempt(sampleRecord(), fifo));
    EXPECT_TRUE(takeHistoryWarningIssued());
}

// What the history creates is the user's alone, whatever the umask.
TEST(HistoryStore, CreatesItsFilesAndDirectoriesPrivately) {
    TempDir dir;
    const mode_t umask = ::umask(022);
    const std::string path = (dir.path() / "state" / "line" / "history.db").string();
    const bool recorded = recordAttempt(sampleRecord(), path);
    ::umask(umask);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(modeOf(dir.path() / "state"), 0700);
    EXPECT_EQ(modeOf(dir.path() / "state" / "line"), 0700);
    const auto names = filesIn(dir.path() / "state" / "line");
    EXPECT_NE(std::find(names.begin(), names.end(), "history.db-wal"), names.end());
    for (const std::string& name : names) {
        EXPECT_EQ(modeOf(dir.path() / "state" / "line" / name), 0600) << name;
    }
}

TEST(HistoryStore, AFailureCostsOneWarningPerProcessAndNeverThrows) {
    TempDir dir;
    // A "directory" that is a file: nothing can be created below it, even by root.
    const std::string blocker = dir.writeFile("state", "not a directory");
    const std::string path = blocker + "/qrb-updater/history.db";
    LogCapture log;
    EXPECT_FALSE(recordAttempt(sampleRecord(), path));
    EXPECT_FALSE(recordAttempt(sampleRecord(), path));
    EXPECT_FALSE(recordAttempt(sampleRecord(), ""));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("Update history not recorded in " + path + ": ", 0), 0u)
        << log.lines()[0];
    EXPECT_TRUE(takeHistoryWarningIssued());
}

TEST(HistoryStore, Sha256OfAFile) {
    TempDir dir;
    EXPECT_EQ(sha256OfFile(dir.writeFile("abc", "abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256OfFile((dir.path() / "missing").string()), std::nullopt);
}

// Sixteen processes (a station's children and a desktop updater) append at once.
TEST(HistoryConcurrency, SixteenWritersAtOnceLoseNoRow) {
    TempDir dir;
    const std::string path = (dir.path() / "history.db").string();
    constexpr int kWriters = 16;
    constexpr int kRowsEach = 10;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            (void)::read(gate[0], &byte, 1); // all start together, on EOF
            int lost = 0;
            for (int r = 0; r < kRowsEach; ++r) {
                AttemptRecord record = sampleRecord("QRB" + std::to_string(w));
                record.reason = std::to_string(r);
                lost += recordAttempt(record, path) ? 0 : 1;
            }
            ::_exit(lost);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(queryOne(path, "SELECT count(*) FROM attempts"),
              std::to_string(kWriters * kRowsEach));
    EXPECT_EQ(queryOne(path, "SELECT count(DISTINCT serial || '/' || reason) FROM attempts"),
              std::to_string(kWriters * kRowsEach));
}

// Processes that meet one damaged database at once: one of them sets it
// aside, and none moves the new database (or its -wal and -shm) that
// another has started meanwhile, so that every row lands in the new one.
TEST(HistoryConcurrency, WritersMeetingOneDamagedDatabaseAtOnceLoseNoRow) {
    constexpr int kRounds = 12;
    constexpr int kWriters = 10;
    for (int round = 0; round < kRounds; ++round) {
        TempDir dir;
        const std::string path = dir.writeFile("history.db", damagedDatabase());
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        std::vector<pid_t> children;
        for (int w = 0; w < kWriters; ++w) {
            const pid_t pid = ::fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                ::close(gate[1]);
                char byte;
                (void)::read(gate[0], &byte, 1);
                setLogSink([](const std::string&) {});
                ::_exit(recordAttempt(sampleRecord("QRB" + std::to_string(w)), path) ? 0 : 1);
            }
            children.push_back(pid);
        }
        ::close(gate[0]);
        ::close(gate[1]);
        for (pid_t pid : children) {
            int status = 0;
            ASSERT_EQ(::waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
        }
        std::vector<std::string> aside;
        for (const std::string& name : filesIn(dir.path())) {
            if (name.rfind("history.db.corrupt-", 0) == 0 && !name.ends_with("-wal")) {
                aside.push_back(name);
            }
        }
        ASSERT_EQ(aside.size(), 1u)
            << "round " << round << ": " << ::testing::PrintToString(filesIn(dir.path()));
        EXPECT_EQ(readFile((dir.path() / aside[0]).string()), damagedDatabase());
        EXPECT_EQ(queryOne(path, "PRAGMA integrity_check"), "ok");
        ASSERT_EQ(queryOne(path, "SELECT count(DISTINCT serial) FROM attempts"),
                  std::to_string(kWriters))
            << "round " << round;
    }
}

// A writer killed at any moment: the database opens, passes its integrity
// check and holds every row whose commit had returned.
TEST(HistoryConcurrency, SigkillDuringWritesLosesNoCommittedRow) {
    TempDir dir;
    const std::string path = (dir.path() / "history.db").string();
    std::mt19937 random(17);
    std::uniform_int_distribution<int> lifeMicroseconds(0, 40000);
    int next = 0;
    std::set<int> committed;
    // At least 120 kills, and more while few rows were committed: a loaded
    // machine (a sanitizer's build, tests side by side) commits fewer rows
    // in a writer's short life.
    for (int kill = 0; kill < 120 || (committed.size() <= 20u && kill < 1200); ++kill) {
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(report[0]);
            for (int n = next;; ++n) {
                AttemptRecord record = sampleRecord();
                record.reason = std::to_string(n);
                if (recordAttempt(record, path)) {
                    (void)::write(report[1], &n, sizeof n);
                }
            }
        }
        ::close(report[1]);
        std::this_thread::sleep_for(std::chrono::microseconds(lifeMicroseconds(random)));
        ::kill(pid, SIGKILL);
        int n = 0;
        while (::read(report[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
            committed.insert(n);
            next = n + 1;
        }
        ::close(report[0]);
        ::waitpid(pid, nullptr, 0);
        next += 1000;                        // rows after the last report may be in or out
        if (std::filesystem::exists(path)) { // a child may die before it creates the file
            ASSERT_EQ(queryOne(path, "PRAGMA integrity_check"), "ok") << "after kill " << kill;
        }
    }
    std::set<int> stored;
    for (const auto& row : historyJson(path)) {
        stored.insert(std::stoi(row["reason"].get<std::string>()));
    }
    for (int n : committed) {
        ASSERT_TRUE(stored.contains(n)) << "committed row " << n << " lost";
    }
    EXPECT_GT(committed.size(), 20u); // the loop did write
}
