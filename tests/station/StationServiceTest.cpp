// The station's messages to those who watch it, in process: the journal
// entry of a board's result, the metrics page and its server, and the service
// manager's messages from the parent's loop, with a stand-in for the ledger's
// backlog.

#include "JournalEntry.h"
#include "MetricsServer.h"
#include "StationCommand.h"
#include "StationMetrics.h"
#include "StationEvents.h"
#include "StationService.h"

#include "JsonSchemaCheck.h"
#include "PollRunLoop.h"
#include "ServiceTestSupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using service_testing::DatagramSocket;

BoardOutcome refusedSeal() {
    BoardOutcome outcome;
    outcome.identity = {"/dev/ttyUSB2", "pci-0000:00:14.0-usb-0:4:1.0", "QRB00103"};
    outcome.from = "1.2.2";
    outcome.to = "1.2.3";
    outcome.result = BoardResult::Failed;
    outcome.error = "SealingError";
    outcome.reason = "Error sealing the flash (21).";
    outcome.step = "Sealing the flash\u2026";
    outcome.seconds = 16.84;
    outcome.trace = "/var/lib/qrb-flash/qrb-updater/traces/20261208T134713.359Z-QRB00103.qrbtrace";
    return outcome;
}

TEST(JournalEntry, EachResultHasItsOwnIdAndAFailureItsErrorStepAndTraceAtErrorPriority) {
    const auto fields = service_testing::journalFields(
        journalDatagram(journalFieldsOf(refusedSeal(), std::string(64, 'a'))));
    EXPECT_EQ(fields.at("MESSAGE_ID"), "9f5cb7e086fc4233a20dca9e4938208d");
    EXPECT_EQ(fields.at("PRIORITY"), "3");
    EXPECT_EQ(fields.at("SYSLOG_IDENTIFIER"), "qrb-flash");
    EXPECT_EQ(fields.at("MESSAGE"),
              "/dev/ttyUSB2 (pci-0000:00:14.0-usb-0:4:1.0, QRB00103): FAILED at \"Sealing the "
              "flash\u2026\" in 16.8 s: SealingError: Error sealing the flash (21). Trace: "
              "/var/lib/qrb-flash/qrb-updater/traces/20261208T134713.359Z-QRB00103.qrbtrace");
    EXPECT_EQ(fields.at("QRB_ERROR"), "SealingError");
    EXPECT_EQ(fields.at("QRB_STEP"), "Sealing the flash\u2026");
    EXPECT_EQ(fields.at("QRB_SECONDS"), "16.8");
    EXPECT_EQ(fields.at("QRB_IMAGE_SHA256"), std::string(64, 'a'));
    EXPECT_EQ(fields.at("QRB_TRACE"), refusedSeal().trace);

    // Success: notice, no error fields; an unknown serial and version are left out.
    BoardOutcome current;
    current.identity = {"/dev/pts/3", "/dev/pts/3", ""};
    current.result = BoardResult::Current;
    current.from = "1.2.3";
    current.to = "1.2.3";
    const auto quiet =
        service_testing::journalFields(journalDatagram(journalFieldsOf(current, std::nullopt)));
    EXPECT_EQ(quiet.at("PRIORITY"), "5");
    EXPECT_EQ(quiet.at("QRB_RESULT"), "current");
    for (const char* absent :
         {"QRB_SERIAL", "QRB_ERROR", "QRB_STEP", "QRB_TRACE", "QRB_IMAGE_SHA256"}) {
        EXPECT_FALSE(quiet.contains(absent)) << absent;
    }
    std::set<std::string> ids;
    for (BoardResult result :
         {BoardResult::Updated, BoardResult::Current, BoardResult::Skipped, BoardResult::Failed}) {
        ids.insert(journalMessageId(result));
    }
    EXPECT_EQ(ids.size(), 4u);
}

TEST(JournalEntry, GoesToTheSocketOnlyWhenItExistsAndKeepsLineBreaksInValues) {
    testing_support::TempDir dir;
    const std::string path = (dir.path() / "socket").string();
    EXPECT_FALSE(sendJournalEntry({"MESSAGE=nobody listens"}, path));

    DatagramSocket journal(path);
    BoardOutcome odd = refusedSeal();
    odd.error = "first line\nsecond line";
    ASSERT_TRUE(sendJournalEntry(journalFieldsOf(odd, std::nullopt), path));
    const std::optional<std::string> datagram = journal.receive(5s);
    ASSERT_TRUE(datagram);
    const auto fields = service_testing::journalFields(*datagram);
    // A field keeps the exact text; the message reads as the terminal's line,
    // its control characters defused.
    EXPECT_EQ(fields.at("QRB_ERROR"), "first line\nsecond line");
    EXPECT_NE(fields.at("MESSAGE").find("first line?second line"), std::string::npos);
    EXPECT_EQ(fields.at("QRB_TTY"), "/dev/ttyUSB2");
}

TEST(StationMetrics, ThePageCountsResultsAndDurationsInCumulativeBucketsAndPassesPromtool) {
    StationMetrics metrics;
    metrics.boardEnded(BoardResult::Updated, 0.5);
    metrics.boardEnded(BoardResult::Updated, 19.1);
    metrics.boardEnded(BoardResult::Failed, 301);
    const std::string page = metrics.page(2, std::nullopt, "1.0.0");
    for (const char* line :
         {"qrb_flash_attempts_total{result=\"updated\"} 2\n",
          "qrb_flash_attempts_total{result=\"current\"} 0\n",
          "qrb_flash_attempts_total{result=\"failed\"} 1\n",
          "qrb_flash_attempt_duration_seconds_bucket{le=\"1\"} 1\n",
          "qrb_flash_attempt_duration_seconds_bucket{le=\"20\"} 2\n",
          "qrb_flash_attempt_duration_seconds_bucket{le=\"300\"} 2\n",
          "qrb_flash_attempt_duration_seconds_bucket{le=\"+Inf\"} 3\n",
          "qrb_flash_attempt_duration_seconds_count 3\n",
          "qrb_flash_attempt_duration_seconds_sum 320.60000000000002\n",
          "qrb_flash_boards_running 2\n", "qrb_flash_build_info{version=\"1.0.0\"} 1\n"}) {
        EXPECT_NE(page.find(line), std::string::npos) << line << page;
    }
    EXPECT_EQ(page.find("ledger"), std::string::npos) << "no ledger, no backlog";
    EXPECT_EQ(service_testing::promtoolComplaints(page), "");

    const std::string withLedger = metrics.page(0, 7, "1.0.0");
    EXPECT_NE(withLedger.find("qrb_flash_ledger_backlog_rows 7\n"), std::string::npos);
    EXPECT_EQ(service_testing::promtoolComplaints(withLedger), "");
}

TEST(MetricsServer, AnAddressThatCannotBeListenedOnIsRefusedAtOnceAndIsAUsageError) {
    const int taken = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(taken, 1), 0);
    ::getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size);
    const std::string inUse = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    for (const std::string& wrong :
         {inUse, std::string("127.0.0.1"), std::string("127.0.0.1:http"), std::string("::1:9464"),
          std::string("no-such-host.invalid:9464"), std::string("192.0.2.1:9464")}) {
        EXPECT_THROW(MetricsServer{wrong}, MetricsServer::ListenError) << wrong;
    }

    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runStationCommand({"--watch", "--metrics", inUse}, "/nonexistent", out, err),
              kExitUsage);
    EXPECT_NE(err.str().find("cannot serve the metrics on " + inUse + ": Address already in use"),
              std::string::npos)
        << err.str();
    err.str("");
    EXPECT_EQ(runStationCommand({"--metrics", "127.0.0.1:9464"}, "/nonexistent", out, err),
              kExitUsage);
    EXPECT_NE(err.str().find("--metrics goes with --watch"), std::string::npos) << err.str();
    ::close(taken);
}

TEST(EventSchema, TakesTheStationsLinesAndRefusesOnesThatBreakItsPromise) {
    using testing_support::JsonSchema;
    using testing_support::schemaViolations;
    BoardOutcome updated = refusedSeal();
    updated.result = BoardResult::Updated;
    StationTally tally;
    tally.count(BoardResult::Failed);
    EXPECT_EQ(schemaViolations(
                  {foundEvent(refusedSeal().identity),
                   versionEvent("/dev/ttyUSB2", std::nullopt, VersionCase::Corrupt),
                   progressEvent("/dev/ttyUSB2", "Programming the flash…", 10, std::nullopt),
                   resultEvent(refusedSeal()), resultEvent(updated), summaryEvent(tally, 3.25)},
                  JsonSchema::Events),
              "");
    for (
        const char* broken : {
            R"({"event":"found","tty":"/dev/ttyUSB0","port":"1-1","serial":"Q","extra":1})",
            R"({"event":"result","tty":"t","port":"p","serial":"","result":"failed","seconds":1})",
            R"({"event":"result","tty":"t","port":"p","serial":"","result":"updated","seconds":1})",
            R"({"event":"result","tty":"t","port":"p","serial":"","result":"current","from":"1.2.3","to":"1.2.3","seconds":1})",
            R"({"event":"version","tty":"t","version":"1.2","case":"older"})",
            R"({"event":"summary","updated":1,"current":0,"skipped":0,"failed":-1,"seconds":1})",
            R"({"event":"finished"})",
        }) {
        EXPECT_NE(schemaViolations({broken}, JsonSchema::Events), "") << broken;
    }
    EXPECT_NE(schemaViolations({R"({"time":"2026-12-08T13:47:12Z","front":"station",)"
                                R"("result":"declined","error":"SealingError"})"},
                               JsonSchema::History),
              "");
}

// The service manager's environment for this process, while it lives.
class ServiceManagerEnvironment {
  public:
    ServiceManagerEnvironment(const std::string& socket, std::chrono::microseconds watchdog) {
        ::setenv("NOTIFY_SOCKET", socket.c_str(), 1);
        ::setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
        ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
    }
    ~ServiceManagerEnvironment() {
        for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
            ::unsetenv(name);
        }
    }
};

TEST(StationService, ReadyStatusWatchdogAndThePageComeFromTheLoopWithTheLedgersBacklog) {
    testing_support::TempDir dir;
    DatagramSocket manager((dir.path() / "notify").string());
    ServiceManagerEnvironment environment(manager.path(), 200ms);
    const std::uint16_t port = service_testing::freePort();
    auto server = std::make_shared<MetricsServer>("127.0.0.1:" + std::to_string(port));
    std::atomic<std::uint64_t> backlog = 3; // the ledger's stand-in
    testing_support::PollRunLoop loop;      // outlives the service that joined it
    StationService service(server, [&] { return std::optional<std::uint64_t>(backlog); });
    StationTally tally;

    service.started(loop, 1, tally);
    EXPECT_EQ(manager.receive(5s), "READY=1\nSTATUS=1 running, 0 updated, 0 failed; 3 rows wait "
                                   "for the ledger");

    // Nothing changed: no status line; the keep-alive only once it is due.
    const int wait = service.turned(1, tally);
    EXPECT_GT(wait, 50);
    EXPECT_LE(wait, 100);
    EXPECT_FALSE(manager.receive(10ms));
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    service.turned(1, tally);
    EXPECT_EQ(manager.receive(5s), "WATCHDOG=1");

    tally.count(BoardResult::Updated);
    BoardOutcome updated;
    updated.identity = {"/dev/ttyUSB0", "1-1", "QRB00100"};
    updated.from = "1.2.2";
    updated.versionCase = VersionCase::Older;
    updated.result = BoardResult::Updated;
    updated.seconds = 12.5;
    updated.to = "1.2.3";
    service.boardEnded(updated);
    backlog = 1;
    service.turned(0, tally);
    EXPECT_EQ(manager.receive(5s), "STATUS=0 running, 1 updated, 0 failed; 1 row waits for the "
                                   "ledger");

    // The page is served from the loop, with what the station knows now.
    auto page =
        std::async(std::launch::async, [&] { return service_testing::httpGet(port, "/metrics"); });
    loop.runUntil([&] { return page.wait_for(0s) == std::future_status::ready; }, 10s);
    const service_testing::HttpAnswer answer = page.get();
    EXPECT_EQ(answer.status, 200) << answer.head;
    EXPECT_NE(answer.head.find("text/plain; version=0.0.4"), std::string::npos) << answer.head;
    EXPECT_NE(answer.body.find("qrb_flash_attempts_total{result=\"updated\"} 1\n"),
              std::string::npos);
    EXPECT_NE(answer.body.find("qrb_flash_ledger_backlog_rows 1\n"), std::string::npos);
    EXPECT_NE(answer.body.find("qrb_flash_boards_running 0\n"), std::string::npos);

    auto other =
        std::async(std::launch::async, [&] { return service_testing::httpGet(port, "/metrics/"); });
    loop.runUntil([&] { return other.wait_for(0s) == std::future_status::ready; }, 10s);
    EXPECT_EQ(other.get().status, 404);

    service.stopping();
    EXPECT_EQ(manager.receive(5s), "STOPPING=1");
}

TEST(StationService, WithoutAServiceManagerOrALedgerNothingIsSentAndTheLoopMayWaitForever) {
    ::unsetenv("NOTIFY_SOCKET");
    testing_support::PollRunLoop loop;
    StationService service(nullptr, {});
    service.started(loop, 0, {});
    EXPECT_EQ(service.turned(0, {}), -1);
    EXPECT_EQ(stationStatusLine(2, {}, std::nullopt), "2 running, 0 updated, 0 failed");
}

} // namespace
