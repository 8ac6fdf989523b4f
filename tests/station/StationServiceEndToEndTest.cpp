// The station as a service, as systemd and an administrator see it: the
// qrb-flash program with --watch on emulated adapters in a umockdev testbed,
// a board that is updated and one that refuses the seal; the service
// manager's notification socket and the journal's socket bound by the test;
// the metrics page read over HTTP and checked by promtool. Runs under
// umockdev-wrapper.

#include "BoardSimulator.h"
#include "EmulatedAdapter.h"
#include "FileDigest.h"
#include "ImageWriter.h"
#include "JsonSchemaCheck.h"
#include "ServiceTestSupport.h"
#include "StationProcess.h"
#include "TempDir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using service_testing::DatagramSocket;
using namespace station_testing;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// qrb-flash started as the service manager starts it: NOTIFY_SOCKET, and
// WATCHDOG_USEC with WATCHDOG_PID naming the station itself.
struct Setting {
    std::string notifySocket;
    std::chrono::microseconds watchdog{0};
    std::string journalSocket;       // QRB_JOURNAL_SOCKET; empty: unset
    std::string systemJournalSocket; // bound over /run/systemd/journal/socket
};

// In the forked child: a mount namespace of its own in which the test's
// directory (holding journal/socket) lies over /run/systemd.
bool inPlaceOfTheJournal(const Setting& setting) {
    const fs::path dir = fs::path(setting.systemJournalSocket).parent_path().parent_path();
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           (fs::is_directory("/run/systemd") || ::mkdir("/run/systemd", 0755) == 0) &&
           ::mount(dir.c_str(), "/run/systemd", nullptr, MS_BIND, nullptr) == 0;
}

testing_support::ChildOptions asService(const Setting& setting) {
    testing_support::ChildOptions options;
    options.beforeExec = [setting] {
        ::setenv("NOTIFY_SOCKET", setting.notifySocket.c_str(), 1);
        if (setting.watchdog.count() > 0) {
            ::setenv("WATCHDOG_USEC", std::to_string(setting.watchdog.count()).c_str(), 1);
            ::setenv("WATCHDOG_PID", std::to_string(::getpid()).c_str(), 1);
        }
        if (!setting.journalSocket.empty()) {
            ::setenv("QRB_JOURNAL_SOCKET", setting.journalSocket.c_str(), 1);
        }
        return setting.systemJournalSocket.empty() || inPlaceOfTheJournal(setting);
    };
    return options;
}

class StationService : public StationOnEmulatedAdapters {
  protected:
    // The result events of a --watch station, until count of them came.
    static std::map<std::string, json> results(StationProcess& station, std::size_t count) {
        std::map<std::string, json> byTty;
        while (byTty.size() < count) {
            const std::optional<json> event = station.nextEvent(90s);
            if (!event) {
                break;
            }
            if (event->value("event", "") == "result") {
                byTty[event->value("tty", "")] = *event;
            }
        }
        return byTty;
    }

    testing_support::TempDir sockets;
};

TEST_F(StationService, TellsTheManagerTheJournalAndTheMetricsPageAboutAGoodAndAFailedBoard) {
    board(kOlder);
    board(kOlder, {"answer:0x04=0x15"});
    service_testing::DatagramCollector manager((sockets.path() / "notify").string());
    service_testing::DatagramCollector journal((sockets.path() / "journal").string());
    const std::uint16_t port = service_testing::freePort();
    const auto started = Clock::now();
    StationProcess station({"--watch", "--json", "--config", configuration(), "--metrics",
                            "127.0.0.1:" + std::to_string(port)},
                           asService({manager.path(), 500ms, journal.path(), ""}));

    auto byTty = results(station, 2);
    ASSERT_EQ(byTty.size(), 2u);
    EXPECT_EQ(byTty["/dev/ttyUSB0"]["result"], "updated");
    EXPECT_EQ(byTty["/dev/ttyUSB1"]["result"], "failed");

    // The page, once both have ended: read over HTTP, clean for promtool.
    service_testing::HttpAnswer page;
    const auto pageBy = Clock::now() + 10s;
    do {
        page = service_testing::httpGet(port, "/metrics");
    } while (page.body.find("qrb_flash_boards_running 0\n") == std::string::npos &&
             Clock::now() < pageBy);
    EXPECT_EQ(page.status, 200) << page.head;
    for (const char* line :
         {"qrb_flash_attempts_total{result=\"updated\"} 1\n",
          "qrb_flash_attempts_total{result=\"failed\"} 1\n",
          "qrb_flash_attempts_total{result=\"skipped\"} 0\n",
          "qrb_flash_attempt_duration_seconds_count 2\n",
          "qrb_flash_attempt_duration_seconds_bucket{le=\"300\"} 2\n",
          "qrb_flash_boards_running 0\n", "qrb_flash_build_info{version=\"1.0.0\"} 1\n"}) {
        EXPECT_NE(page.body.find(line), std::string::npos) << line << page.body;
    }
    EXPECT_EQ(page.body.find("qrb_flash_ledger_backlog_rows"), std::string::npos);
    EXPECT_EQ(service_testing::promtoolComplaints(page.body), "");
    EXPECT_EQ(service_testing::httpGet(port, "/").status, 404);
    EXPECT_EQ(service_testing::httpGet(port, "/metrics.txt").status, 404);

    // One journal entry per board, from the board's own process.
    std::map<std::string, std::map<std::string, std::string>> entries;
    std::this_thread::sleep_for(1s); // for the last board process's entry
    for (const std::string& datagram : journal.received()) {
        const auto fields = service_testing::journalFields(datagram);
        entries[fields.at("QRB_SERIAL")] = fields;
    }
    ASSERT_EQ(entries.size(), 2u);
    const auto& updated = entries["QRB00100"];
    EXPECT_EQ(updated.at("MESSAGE_ID"), "1585e8f55dba4371a6927dc5bf44d89c");
    EXPECT_EQ(updated.at("SYSLOG_IDENTIFIER"), "qrb-flash");
    EXPECT_EQ(updated.at("PRIORITY"), "5");
    EXPECT_EQ(updated.at("QRB_TTY"), "/dev/ttyUSB0");
    EXPECT_EQ(updated.at("QRB_PORT"), "pci-0000:00:14.0-usb-0:1:1.0");
    EXPECT_EQ(updated.at("QRB_RESULT"), "updated");
    EXPECT_EQ(updated.at("QRB_FROM"), "1.2.2");
    EXPECT_EQ(updated.at("QRB_TO"), "1.2.3");
    EXPECT_EQ(updated.at("QRB_IMAGE_SHA256"),
              sha256OfFile((resources.path() / "QRB_Firmware.sc").string()).value_or("?"));
    EXPECT_FALSE(updated.contains("QRB_ERROR"));
    const auto& failed = entries["QRB00101"];
    EXPECT_EQ(failed.at("MESSAGE_ID"), "9f5cb7e086fc4233a20dca9e4938208d");
    EXPECT_EQ(failed.at("PRIORITY"), "3");
    EXPECT_EQ(failed.at("QRB_ERROR"), "SealingError");
    EXPECT_EQ(failed.at("QRB_STEP"), "Sealing the flash\u2026");
    EXPECT_TRUE(fs::is_regular_file(failed.at("QRB_TRACE"))) << failed.at("QRB_TRACE");

    // Stopped as systemd stops it.
    station.signal(SIGTERM);
    while (station.nextEvent(30s)) {
    }
    EXPECT_EQ(station.wait(), 1);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    std::this_thread::sleep_for(500ms);
    const std::vector<std::string> messages = manager.received();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().rfind("READY=1\nSTATUS=", 0), 0u) << messages.front();
    std::vector<std::string> statuses;
    std::size_t keepAlives = 0;
    for (const std::string& message : messages) {
        if (message.starts_with("STATUS=")) {
            statuses.push_back(message.substr(7));
        }
        keepAlives += message == "WATCHDOG=1" ? 1u : 0u;
    }
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "2 running, 0 updated, 0 failed"),
              statuses.end());
    EXPECT_EQ(statuses.back(), "0 running, 1 updated, 1 failed");
    EXPECT_EQ(messages.back(), "STOPPING=1");
    // Every 0.25 s while the loop turns; generous for a loaded machine.
    EXPECT_GE(static_cast<double>(keepAlives), seconds / 0.25 * 0.5) << seconds << " s";
}

TEST_F(StationService, WritesToTheSystemJournalsSocketWhenThereIsOne) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "a mount namespace in place of the journal needs root";
    }
    board(kOlder);
    fs::create_directories(sockets.path() / "journal");
    DatagramSocket journal((sockets.path() / "journal" / "socket").string());
    StationProcess station({"--watch", "--json", "--config", configuration()},
                           asService({"", 0us, "", journal.path()}));
    auto byTty = results(station, 1);
    ASSERT_EQ(byTty["/dev/ttyUSB0"]["result"], "updated");
    station.signal(SIGTERM);
    while (station.nextEvent(30s)) {
    }
    EXPECT_EQ(station.wait(), 0);
    const std::optional<std::string> datagram = journal.receive(5s);
    ASSERT_TRUE(datagram) << "nothing came through sd_journal_sendv";
    const auto fields = service_testing::journalFields(*datagram);
    EXPECT_EQ(fields.at("QRB_SERIAL"), "QRB00100");
    EXPECT_EQ(fields.at("QRB_RESULT"), "updated");
    EXPECT_EQ(fields.at("SYSLOG_IDENTIFIER"), "qrb-flash");
}

} // namespace
