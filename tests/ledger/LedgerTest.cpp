// The ledger against a real PostgreSQL server that the test starts itself
// (ScratchServer): the schema, pushes that forward each row exactly once
// whatever dies half-way, and station runs that forward their boards' rows.

#include "AttemptRecord.h"
#include "BoardSimulator.h"
#include "ChildProcess.h"
#include "History.h"
#include "HistoryOutbox.h"
#include "ImageConfiguration.h"
#include "ImageWriter.h"
#include "Ledger.h"
#include "LedgerUrl.h"
#include "ScratchHistory.h"
#include "ScratchServer.h"
#include "TempDir.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::ChildProcess;
using testing_support::TempDir;
using Clock = std::chrono::steady_clock;

// One server for the whole run; a database of its own per test.
ScratchServer& server() {
    static ScratchServer shared(ScratchServer::Settings{false});
    return shared;
}

std::string freshDatabase() {
    static int next = 0;
    return server().createDatabase("ledger_" + std::to_string(::getpid()) + "_" +
                                   std::to_string(++next));
}

std::string databaseOf(const std::string& url) {
    return url.substr(url.find("dbname=") + 7);
}

int flashStatus(const std::vector<std::string>& args, std::string* out = nullptr,
                std::string* err = nullptr) {
    ChildProcess flash(QRB_FLASH, args);
    const int status = flash.finish().value_or(-1);
    if (out != nullptr) {
        *out = flash.output();
    }
    if (err != nullptr) {
        *err = flash.errors();
    }
    return status;
}

std::string initialized() {
    const std::string url = freshDatabase();
    std::string err;
    EXPECT_EQ(flashStatus({"ledger", "init", "--ledger", url}, nullptr, &err), 0) << err;
    return url;
}

long long serverCount(const std::string& url, const std::string& where = "true") {
    return std::stoll(
        server().query("SELECT count(*) FROM attempts WHERE " + where, databaseOf(url)));
}

std::set<std::string> serverIds(const std::string& url) {
    const std::string joined =
        server().query("SELECT string_agg(id::text, ',') FROM attempts", databaseOf(url));
    std::set<std::string> ids;
    std::stringstream in(joined);
    for (std::string id; std::getline(in, id, ',');) {
        ids.insert(id);
    }
    return ids;
}

long long backlogOf(const std::string& history) {
    return HistoryOutbox(history).status().backlog;
}

TEST(LedgerSchema, InitCreatesOnceAndAnUnknownSchemaIsRefused) {
    const std::string url = freshDatabase();
    std::string out;
    ASSERT_EQ(flashStatus({"ledger", "init", "--ledger", url}, &out), 0);
    EXPECT_THAT(out, HasSubstr("created (version 1)"));
    ASSERT_EQ(flashStatus({"ledger", "init", "--ledger", url}, &out), 0);
    EXPECT_THAT(out, HasSubstr("up to date"));
    EXPECT_EQ(server().query("SELECT count(*) FROM ledger_schema", databaseOf(url)), "1");
    EXPECT_EQ(server().query("SELECT count(*) FROM pg_indexes WHERE tablename = 'attempts'",
                             databaseOf(url)),
              "4"); // the primary key, serial, station, time

    TempDir dir;
    const std::string history = (dir.path() / "history.db").string();
    writeScratchHistory(history, 3, "bench-1");
    std::string err;
    // A server without the schema, and one with a newer schema.
    EXPECT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", freshDatabase()},
                          nullptr, &err),
              78);
    EXPECT_THAT(err, HasSubstr("ledger init"));
    server().query("UPDATE ledger_schema SET version = 99", databaseOf(url));
    EXPECT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", url}), 78);
    EXPECT_EQ(flashStatus({"ledger", "init", "--ledger", url}, nullptr, &err), 78);
    EXPECT_THAT(err, HasSubstr("newer"));
    EXPECT_EQ(backlogOf(history), 3);
}

TEST(LedgerSchema, TheStationRoleMayInsertAndReadOnly) {
    const std::string url = initialized();
    std::ifstream file(QRB_STATION_ROLE_SQL);
    std::stringstream sql;
    sql << file.rdbuf();
    server().query(sql.str(), databaseOf(url));
    server().query(sql.str(), databaseOf(url)); // again: nothing changes

    TempDir dir;
    const std::string history = (dir.path() / "history.db").string();
    writeScratchHistory(history, 2, "line-7");
    const std::string asStation = url + " user=qrb_station";
    std::string err;
    ASSERT_EQ(
        flashStatus({"ledger", "push", "--history", history, "--ledger", asStation}, nullptr, &err),
        0)
        << err;
    ASSERT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", asStation}), 0);
    EXPECT_EQ(serverCount(url), 2);
    ScratchServer& s = server();
    const std::string as = "SET ROLE qrb_station; ";
    EXPECT_THROW(s.query(as + "UPDATE attempts SET result = 'updated'", databaseOf(url)),
                 std::runtime_error);
    EXPECT_THROW(s.query(as + "DELETE FROM attempts", databaseOf(url)), std::runtime_error);
    EXPECT_THROW(s.query(as + "TRUNCATE attempts", databaseOf(url)), std::runtime_error);
    EXPECT_EQ(s.query(as + "SELECT count(*) FROM attempts", databaseOf(url)), "2");
}

TEST(LedgerPush, ForwardsEveryRowOnceWithItsIdStationAndOperator) {
    const std::string url = initialized();
    TempDir dir;
    const std::string history = (dir.path() / "history.db").string();
    const std::vector<std::string> ids = writeScratchHistory(history, 1201, "line-2");
    AttemptRecord record;
    record.time = std::chrono::system_clock::now();
    record.serial = "QRB99999";
    record.reason = "Quote \"and\" comma,\ttab\nline \\ and a board's \xff byte";
    ASSERT_TRUE(recordAttempt(record, history)); // a desktop row: the default station

    std::string out;
    ASSERT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", url}, &out), 0);
    EXPECT_THAT(out, HasSubstr("Forwarded 1202 rows to the ledger (1202 new); 0 waiting."));
    EXPECT_EQ(serverCount(url), 1202);
    EXPECT_EQ(serverCount(url, "station = 'line-2' AND operator = '" + currentOperatorName() +
                                   "' AND front = 'station' AND result = 'updated'"
                                   " AND seconds = 17.25"),
              1201);
    EXPECT_EQ(serverCount(url, "front = 'desktop' AND station = '" + defaultStationName() + "'"),
              1);
    EXPECT_EQ(
        server().query("SELECT reason FROM attempts WHERE front = 'desktop'", databaseOf(url)),
        "Quote \"and\" comma,\ttab\nline \\ and a board's \uFFFD byte");
    const std::set<std::string> onServer = serverIds(url);
    EXPECT_TRUE(std::all_of(ids.begin(), ids.end(),
                            [&](const std::string& id) { return onServer.count(id) == 1; }));

    // Read back from the ledger, filtered, as JSON and as CSV.
    ASSERT_EQ(
        flashStatus({"history", "--ledger", url, "--station", "line-2", "--limit", "3", "--json"},
                    &out),
        0);
    std::istringstream lines(out);
    int read = 0;
    for (std::string line; std::getline(lines, line); ++read) {
        const json row = json::parse(line);
        EXPECT_EQ(row["station"], "line-2");
        EXPECT_EQ(row["seconds"], 17.25);
        EXPECT_TRUE(row.contains("received"));
        EXPECT_EQ(onServer.count(row["id"].get<std::string>()), 1u);
    }
    EXPECT_EQ(read, 3);
    ASSERT_EQ(flashStatus({"history", "--ledger", url, "--serial", "QRB99999", "--csv"}, &out), 0);
    EXPECT_EQ(out.substr(0, out.find("\r\n")),
              "time,front,tty,port,serial,from,case,to,image_sha256,result,error,reason,step,"
              "seconds,trace,id,station,operator,received");
    EXPECT_NE(out.find(",\"Quote \"\"and\"\" comma,\ttab\nline \\ and a board's \uFFFD byte\","),
              std::string::npos)
        << out;

    ASSERT_EQ(flashStatus({"history", "--ledger", url, "--serial", "QRB99999"}, &out), 0);
    EXPECT_EQ(out.rfind("time                  station", 0), 0u) << out;
    EXPECT_THAT(out, HasSubstr(defaultStationName()));

    // Nothing twice; the status says so.
    ASSERT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", url}, &out), 0);
    EXPECT_THAT(out, HasSubstr("Forwarded 0 rows"));
    EXPECT_EQ(serverCount(url), 1202);
    ASSERT_EQ(flashStatus({"ledger", "status", "--json", "--history", history}, &out), 0);
    const json status = json::parse(out);
    EXPECT_EQ(status["backlog"], 0);
    EXPECT_TRUE(status["last_push"].is_string());
}

TEST(LedgerPush, AnUnreachableServerExits75KeepsTheRowsAndNeverShowsThePassword) {
    TempDir dir;
    const std::string history = (dir.path() / "history.db").string();
    writeScratchHistory(history, 5, "line-1");
    const std::string absent =
        "postgresql://qrb:s3cr3t@/postgres?host=" + (dir.path() / "nowhere").string() +
        "&password=again";
    std::string out;
    std::string err;
    EXPECT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", absent}, &out, &err),
              75);
    EXPECT_THAT(err, HasSubstr("5 rows wait in " + history));
    EXPECT_THAT(err + out, Not(HasSubstr("s3cr3t")));
    EXPECT_THAT(err + out, Not(HasSubstr("again")));
    EXPECT_THAT(err, HasSubstr("postgresql://qrb:***@"));
    EXPECT_EQ(
        flashStatus({"ledger", "status", "--history", history, "--ledger", absent}, &out, &err), 0);
    EXPECT_THAT(out, HasSubstr("5 rows waiting"));
    EXPECT_THAT(out, HasSubstr("not reachable"));
    EXPECT_THAT(out + err, Not(HasSubstr("s3cr3t")));
    EXPECT_EQ(backlogOf(history), 5);

    EXPECT_EQ(redactLedgerText("host=db password='it\\'s me' dbname=qrb"),
              "host=db password=*** dbname=qrb");
    EXPECT_EQ(redactLedgerText("host=db PASSWORD = plain user=ann"),
              "host=db PASSWORD = *** user=ann");
    EXPECT_EQ(redactLedgerText("postgres://ann@db:5432/qrb"), "postgres://ann@db:5432/qrb");
}

TEST(LedgerPush, TheServerKilledMidPushThenRestartedGetsEveryRowOnce) {
    const std::string url = initialized();
    TempDir dir;
    const std::string history = (dir.path() / "history.db").string();
    writeScratchHistory(history, 3 * static_cast<int>(kLedgerBatchRows), "line-4");
    {
        LedgerConnection ledger(url);
        try {
            pushHistory(ledger, history, [](const PushResult&) {
                if (server().running()) {
                    server().kill(); // after the first batch's commit
                }
            });
            ADD_FAILURE() << "the push went on without its server";
        } catch (const LedgerException& failure) {
            EXPECT_EQ(failure.kind(), LedgerFailure::Unreachable) << failure.what();
        }
    }
    server().start();
    EXPECT_EQ(serverCount(url), static_cast<long long>(kLedgerBatchRows));
    EXPECT_EQ(backlogOf(history), 2 * static_cast<long long>(kLedgerBatchRows));
    ASSERT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", url}), 0);
    EXPECT_EQ(serverCount(url), 3 * static_cast<long long>(kLedgerBatchRows));
    EXPECT_EQ(backlogOf(history), 0);
}

TEST(LedgerPush, AStationKilledMidPushAndTwoPushesAtOnceDuplicateNothing) {
    const std::string url = initialized();
    TempDir dir;
    const std::string history = (dir.path() / "history.db").string();
    const auto ids = writeScratchHistory(history, 20000, "line-5");
    {
        ChildProcess push(QRB_FLASH, {"ledger", "push", "--history", history, "--ledger", url});
        const auto end = Clock::now() + 60s;
        while (serverCount(url) == 0 && Clock::now() < end) {
            std::this_thread::sleep_for(5ms);
        }
        ::kill(push.pid(), SIGKILL);
        EXPECT_EQ(push.finish(), 128 + SIGKILL);
    }
    const long long before = serverCount(url);
    EXPECT_GT(before, 0);
    EXPECT_LT(before, 20000) << "the push ended before it was killed";
    EXPECT_GE(backlogOf(history), 20000 - before); // a batch may be on the server, not marked

    // Two at once finish it, each row once.
    ChildProcess first(QRB_FLASH, {"ledger", "push", "--history", history, "--ledger", url});
    ChildProcess second(QRB_FLASH, {"ledger", "push", "--history", history, "--ledger", url});
    EXPECT_EQ(first.finish(), 0) << first.errors();
    EXPECT_EQ(second.finish(), 0) << second.errors();
    EXPECT_EQ(serverCount(url), 20000);
    EXPECT_EQ(serverIds(url), std::set<std::string>(ids.begin(), ids.end()));
    EXPECT_EQ(backlogOf(history), 0);
}

TEST(LedgerPush, TenStationsOfTwentyFourRowsForwardAtOnce) {
    const std::string url = initialized();
    TempDir dir;
    std::set<std::string> local;
    std::vector<std::unique_ptr<ChildProcess>> pushes;
    for (int station = 0; station < 10; ++station) {
        const std::string history =
            (dir.path() / ("station-" + std::to_string(station) + ".db")).string();
        for (const std::string& id :
             writeScratchHistory(history, 24, "station-" + std::to_string(station))) {
            local.insert(id);
        }
    }
    for (int station = 0; station < 10; ++station) {
        pushes.push_back(std::make_unique<ChildProcess>(
            QRB_FLASH, std::vector<std::string>{
                           "ledger", "push", "--history",
                           (dir.path() / ("station-" + std::to_string(station) + ".db")).string(),
                           "--ledger", url}));
    }
    for (const auto& push : pushes) {
        EXPECT_EQ(push->finish(), 0) << push->errors();
    }
    EXPECT_EQ(serverCount(url), 240);
    EXPECT_EQ(serverIds(url), local);
    EXPECT_EQ(server().query("SELECT count(*) FROM (SELECT station FROM attempts GROUP BY station"
                             " HAVING count(*) = 24) s",
                             databaseOf(url)),
              "10");
}

// Station runs on a simulated board.
class LedgerStation : public ::testing::Test {
  protected:
    LedgerStation() {
        testing_support::writeImageConfiguration(resources);
        const std::vector<uint8_t> data(64, 0x5A);
        resources.writeFile(
            "QRB_RAM_Bootloader.sc",
            SimpleCodeImageBuilder().addDataRecord(qrbsim::kRamBase, data).addEndRecord().bytes());
        resources.writeFile(
            "QRB_Firmware.sc",
            SimpleCodeImageBuilder().addDataRecord(0x0000, data).addEndRecord().bytes());
    }

    std::unique_ptr<qrbsim::BoardSimulator> board() {
        qrbsim::SimulatorConfig config;
        config.versionWord = 0x00020201; // 1.2.2: updated to 1.2.3
        config.blockWords = 4;
        config.flashSize = 64 * 1024;
        config.ramSize = 64 * 1024;
        config.leadingWordWait = 200ms;
        auto simulated = std::make_unique<qrbsim::BoardSimulator>(config);
        simulated->start();
        return simulated;
    }

    std::vector<std::string> args(const std::string& tty, std::vector<std::string> extra) const {
        std::vector<std::string> all{"--port",    tty,
                                     "--config",  (resources.path() / "QRB_Image.plist").string(),
                                     "--history", history};
        all.insert(all.end(), extra.begin(), extra.end());
        return all;
    }

    TempDir resources;
    TempDir state;
    std::string history = (state.path() / "history.db").string();
};

TEST_F(LedgerStation, ARunForwardsItsBoardWithStationAndOperator) {
    const std::string url = initialized();
    auto simulated = board();
    ChildProcess run(QRB_FLASH,
                     args(simulated->slavePath(), {"--ledger", url, "--station", "line-3"}));
    ASSERT_EQ(run.finish(), 0) << run.output() << run.errors();
    EXPECT_THAT(run.output(), HasSubstr("updated 1.2.2 -> 1.2.3"));
    EXPECT_EQ(serverCount(url, "station = 'line-3' AND operator = '" + currentOperatorName() +
                                   "' AND result = 'updated' AND version_read = '1.2.2'"),
              1);
    EXPECT_EQ(backlogOf(history), 0);
    EXPECT_THAT(run.errors(), Not(HasSubstr("Ledger")));
}

TEST_F(LedgerStation, AServerDownCostsOneWarningNotTheExitCodeAndThePushSendsTheRows) {
    const std::string url = initialized();
    const std::string down =
        "host=" + (state.path() / "nowhere").string() + " dbname=postgres password=hidden";
    auto simulated = board();
    ChildProcess run(QRB_FLASH,
                     args(simulated->slavePath(), {"--ledger", down, "--station", "line-6"}));
    ASSERT_EQ(run.finish(), 0) << run.output() << run.errors();
    EXPECT_THAT(run.output(), HasSubstr("1 updated"));
    std::istringstream lines(run.errors());
    int warnings = 0;
    for (std::string line; std::getline(lines, line);) {
        warnings += line.find("Ledger not reached") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(warnings, 1) << run.errors();
    EXPECT_THAT(run.errors(), Not(HasSubstr("hidden")));
    EXPECT_EQ(backlogOf(history), 1);

    std::string out;
    ASSERT_EQ(flashStatus({"ledger", "push", "--history", history, "--ledger", url}, &out), 0);
    EXPECT_EQ(serverCount(url, "station = 'line-6'"), 1);
    EXPECT_EQ(backlogOf(history), 0);
}

TEST_F(LedgerStation, WatchingForwardsEachRowAsItsBoardEnds) {
    const std::string url = initialized();
    auto simulated = board();
    ChildProcess run(QRB_FLASH,
                     args(simulated->slavePath(), {"--watch", "--json", "--ledger", url}));
    ASSERT_TRUE(run.waitForOutput("\"event\":\"result\"", 60s)) << run.output() << run.errors();
    // Forwarded while the station goes on (within 2 s of the row on a quiet
    // machine; the deadline here only bounds a failure).
    const auto end = Clock::now() + 20s;
    while (serverCount(url) == 0 && Clock::now() < end) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(serverCount(url), 1);
    ::kill(run.pid(), SIGTERM);
    EXPECT_EQ(run.finish(), 0) << run.errors();
    EXPECT_EQ(backlogOf(history), 0);
}

} // namespace
