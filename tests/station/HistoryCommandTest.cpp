#include "History.h"
#include "HistoryCommand.h"
#include "HistoryTestSupport.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sstream>

using testing_support::historyJson;
using testing_support::sampleRecord;
using testing_support::TempDir;

namespace {

std::chrono::system_clock::time_point utc(int year, int month, int day, int hour = 12) {
    std::tm time{};
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    time.tm_hour = hour;
    return std::chrono::system_clock::from_time_t(timegm(&time));
}

struct CommandRun {
    int status;
    std::string out;
    std::string err;
};

CommandRun history(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = runHistoryCommand(args, out, err);
    return {status, out.str(), err.str()};
}

class HistoryCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        // Three attempts on two boards over three days, a minimal one last.
        AttemptRecord first = sampleRecord("QRB00042");
        first.time = utc(2026, 11, 30);
        AttemptRecord second = sampleRecord("QRB00043");
        second.time = utc(2026, 12, 1, 9);
        second.result = AttemptResult::Updated;
        second.error.reset();
        second.reason.reset();
        second.step.reset();
        AttemptRecord third;
        third.time = utc(2026, 12, 2);
        third.front = AttemptFront::Desktop;
        third.serial = "QRB00042";
        third.imageVersion = "1.2.3";
        third.result = AttemptResult::Declined;
        for (const auto& record : {first, second, third}) {
            ASSERT_TRUE(recordAttempt(record, path_));
        }
    }

    TempDir dir_;
    std::string path_ = (dir_.path() / "history.db").string();
};

} // namespace

TEST_F(HistoryCommand, JsonHasTheKeysOfEachRowNewestLast) {
    const auto rows = historyJson(path_);
    ASSERT_EQ(rows.size(), 3u);
    const nlohmann::ordered_json& full = rows[0];
    EXPECT_EQ(full["time"], "2026-11-30T12:00:00Z");
    EXPECT_EQ(full["front"], "station");
    EXPECT_EQ(full["tty"], "/dev/ttyUSB0");
    EXPECT_EQ(full["port"], "pci-0000:00:14.0-usb-0:2:1.0");
    EXPECT_EQ(full["serial"], "QRB00042");
    EXPECT_EQ(full["from"], "1.2.2");
    EXPECT_EQ(full["case"], "older");
    EXPECT_EQ(full["to"], "1.2.3");
    EXPECT_EQ(full["image_sha256"], std::string(64, 'a'));
    EXPECT_EQ(full["result"], "failed");
    EXPECT_EQ(full["error"], "SealingError");
    EXPECT_EQ(full["reason"], "Error sealing the flash (21).");
    EXPECT_EQ(full["step"], "Sealing the flash\u2026");
    EXPECT_EQ(full["seconds"], 11.9);
    // Unknown means absent, never null or empty.
    std::vector<std::string> keys;
    for (const auto& item : rows[2].items()) {
        keys.push_back(item.key());
    }
    // Every row names its attempt, station and operator.
    EXPECT_EQ(keys, (std::vector<std::string>{"time", "front", "serial", "to", "result", "id",
                                              "station", "operator"}));
    EXPECT_EQ(rows[2]["station"], defaultStationName());
    EXPECT_EQ(rows[2]["operator"], currentOperatorName());
    EXPECT_NE(rows[0]["id"], rows[1]["id"]);
    EXPECT_EQ(rows[2]["result"], "declined");
}

TEST_F(HistoryCommand, FiltersBySerialDayAndCount) {
    auto serials = [](const std::vector<nlohmann::ordered_json>& rows) {
        std::vector<std::string> result;
        for (const auto& row : rows) {
            result.push_back(row["serial"].get<std::string>() + "@" +
                             row["time"].get<std::string>().substr(0, 10));
        }
        return result;
    };
    using Rows = std::vector<std::string>;
    EXPECT_EQ(serials(historyJson(path_, {"--serial", "QRB00042"})),
              (Rows{"QRB00042@2026-11-30", "QRB00042@2026-12-02"}));
    EXPECT_EQ(serials(historyJson(path_, {"--since", "2026-12-01"})),
              (Rows{"QRB00043@2026-12-01", "QRB00042@2026-12-02"}));
    EXPECT_EQ(serials(historyJson(path_, {"--since", "2026-12-01T10:00:00Z"})),
              (Rows{"QRB00042@2026-12-02"}));
    // The newest N, still newest last.
    EXPECT_EQ(serials(historyJson(path_, {"--limit", "2"})),
              (Rows{"QRB00043@2026-12-01", "QRB00042@2026-12-02"}));
    EXPECT_EQ(serials(historyJson(path_, {"--serial", "QRB00042", "--limit", "1"})),
              (Rows{"QRB00042@2026-12-02"}));
    EXPECT_TRUE(historyJson(path_, {"--serial", "QRB99999"}).empty());
}

TEST_F(HistoryCommand, CsvIsRfc4180WithTheJsonKeysAndFiltersByStation) {
    AttemptRecord tricky = sampleRecord("QRB00044");
    tricky.time = utc(2026, 12, 3);
    tricky.station = "bench \"B\", east";
    tricky.reason = "line one\nline \"two\", end";
    ASSERT_TRUE(recordAttempt(tricky, path_));

    const CommandRun run = history({"--history", path_, "--csv", "--station", "bench \"B\", east"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string header = "time,front,tty,port,serial,from,case,to,image_sha256,result,"
                               "error,reason,step,seconds,trace,id,station,operator\r\n";
    ASSERT_EQ(run.out.substr(0, header.size()), header);
    const std::string row = run.out.substr(header.size());
    EXPECT_EQ(row.rfind("2026-12-03T12:00:00Z,station,/dev/ttyUSB0,", 0), 0u) << row;
    EXPECT_NE(row.find(",failed,SealingError,\"line one\nline \"\"two\"\", end\",Sealing the "
                       "flash\u2026,11.9,,"),
              std::string::npos)
        << row;
    EXPECT_NE(row.find(",\"bench \"\"B\"\", east\"," + currentOperatorName() + "\r\n"),
              std::string::npos)
        << row;
    EXPECT_EQ(row.find("\r\n"), row.size() - 2); // one row: the other stations' are left out

    // The local history has no --ledger at the same time, and one format.
    EXPECT_EQ(history({"--history", path_, "--csv", "--json"}).status, 64);
    EXPECT_EQ(history({"--history", path_, "--ledger", "host=/nowhere"}).status, 64);
}

TEST_F(HistoryCommand, TableIsReadable) {
    const CommandRun run = history({"--history", path_});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<std::string> table;
    for (std::string line; std::getline(lines, line);) {
        table.push_back(line);
    }
    ASSERT_EQ(table.size(), 4u) << run.out;
    EXPECT_EQ(table[0].rfind("time                  front    serial    tty", 0), 0u) << table[0];
    EXPECT_NE(table[1].find("SealingError in \"Sealing the flash\u2026\": Error sealing the "
                            "flash (21)."),
              std::string::npos)
        << table[1];
    EXPECT_NE(table[3].find("declined"), std::string::npos);
}

TEST(HistoryCommandUsage, BadArgumentsAndMissingFiles) {
    TempDir dir;
    const std::string missing = (dir.path() / "none.db").string();
    for (const auto& args : std::vector<std::vector<std::string>>{{"--limit", "0"},
                                                                  {"--limit", "x"},
                                                                  {"--since", "yesterday"},
                                                                  {"--since", "2026-13-01"},
                                                                  {"--serial"},
                                                                  {"--verbose"}}) {
        const CommandRun run = history(args);
        EXPECT_EQ(run.status, 64) << ::testing::PrintToString(args);
        EXPECT_NE(run.err.find("qrb-flash history: "), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    // Reading never creates the file.
    EXPECT_EQ(history({"--json", "--history", missing}).out, "");
    EXPECT_EQ(history({"--history", missing}).out, "No update recorded yet (" + missing + ").\n");
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string garbage = dir.writeFile("garbage.db", std::string(4096, 'x'));
    const CommandRun run = history({"--history", garbage});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot read " + garbage), std::string::npos) << run.err;
}

// A row names its trace; once the traces' retention has removed it, both
// forms say so, and the path stays as recorded.
TEST(HistoryCommandTraces, SayWhenARowsTraceHasBeenRemoved) {
    TempDir dir;
    const std::string path = (dir.path() / "history.db").string();
    const std::string kept =
        dir.writeFile("20261208T134713.359Z-QRB00042.qrbtrace", "qrb-trace 1\n");
    const std::string gone = (dir.path() / "20261208T134800.001Z-QRB00043.qrbtrace").string();
    AttemptRecord first = sampleRecord("QRB00042");
    first.trace = kept;
    AttemptRecord second = sampleRecord("QRB00043");
    second.trace = gone;
    ASSERT_TRUE(recordAttempt(first, path));
    ASSERT_TRUE(recordAttempt(second, path));

    const auto rows = historyJson(path);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_FALSE(rows[0].contains("trace_removed"));
    EXPECT_EQ(rows[1]["trace"], gone);
    EXPECT_EQ(rows[1]["trace_removed"], true);

    const CommandRun run = history({"--history", path});
    std::istringstream lines(run.out);
    std::vector<std::string> table;
    for (std::string line; std::getline(lines, line);) {
        table.push_back(line);
    }
    ASSERT_EQ(table.size(), 3u) << run.out;
    EXPECT_NE(table[0].find("seconds  trace"), std::string::npos) << table[0];
    EXPECT_NE(table[1].find("  20261208T134713.359Z-QRB00042.qrbtrace  SealingError"),
              std::string::npos)
        << table[1];
    EXPECT_NE(table[2].find("  removed"), std::string::npos) << table[2];
}
