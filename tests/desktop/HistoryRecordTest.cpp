#include "AppTestSupport.h"
#include "BoardSimulator.h"
#include "FileDigest.h"
#include "History.h"
#include "HistoryCommand.h"
#include "JsonSchemaCheck.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>

namespace app_tests {
namespace {

using qrbsim::BoardSimulator;

// The desktop's rows of the update history: one per attempt, written
// without holding up the final alert, and never at the cost of an update.
class DesktopHistoryTest : public AppTest {
  protected:
    DesktopHistoryTest() {
        platform->setResourcePath(QRB_RESOURCE_DIR);
        usePath((state.path() / "history.db").string());
        takeHistoryWarningIssued(); // the one warning of this process is for this test
    }
    ~DesktopHistoryTest() override { ::unsetenv("QRB_HISTORY"); }

    void usePath(const std::string& path) {
        historyPath = path;
        ::setenv("QRB_HISTORY", path.c_str(), 1);
    }

    // Runs the application with one board (with the "Physical Port" udev
    // gives), the alerts answered by answers, until it exits.
    void runWithBoard(std::uint32_t versionWord, std::vector<qrbsim::Fault> faults = {}) {
        qrbsim::SimulatorConfig config;
        config.versionWord = versionWord;
        config.faults = std::move(faults);
        simulated = std::make_unique<BoardSimulator>(std::move(config));
        simulated->start();
        PropertyDictionary properties = serialDevice("usbserial-QRB00042", simulated->slavePath());
        properties.emplace("Physical Port", std::string("pci-0000:00:14.0-usb-0:2:1.0"));
        devices->addDevice(properties);
        EXPECT_EQ(platform->runUntilExit(30s, [this] { controller->awakeFromNib(); }), 0);
    }

    // The rows as `qrb-flash history --json` prints them, parsed.
    std::vector<nlohmann::json> rows() const {
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(runHistoryCommand({"--json", "--history", historyPath}, out, err), 0)
            << err.str();
        std::vector<nlohmann::json> parsed;
        std::istringstream lines(out.str());
        std::vector<std::string> read;
        for (std::string line; std::getline(lines, line);) {
            parsed.push_back(nlohmann::json::parse(line));
            read.push_back(line);
        }
        EXPECT_EQ(testing_support::schemaViolations(read, testing_support::JsonSchema::History),
                  "");
        return parsed;
    }

    std::vector<std::string> historyWarnings() const {
        std::vector<std::string> lines = platform->logLinesStartingWith("Update history");
        return lines;
    }

    testing_support::TempDir state;
    std::string historyPath;
    std::unique_ptr<BoardSimulator> simulated;
};

TEST_F(DesktopHistoryTest, AnUpdateLeavesItsRow) {
    runWithBoard(0x00020201); // 1.2.2: "Update Firmware" is the default
    ASSERT_EQ(platform->alerts().back().title, "Firmware Update");

    const auto history = rows();
    ASSERT_EQ(history.size(), 1u);
    const nlohmann::json& row = history[0];
    EXPECT_EQ(row["front"], "desktop");
    EXPECT_EQ(row["tty"], simulated->slavePath());
    EXPECT_EQ(row["port"], "pci-0000:00:14.0-usb-0:2:1.0");
    EXPECT_EQ(row["serial"], "QRB00042");
    EXPECT_EQ(row["from"], "1.2.2");
    EXPECT_EQ(row["case"], "older");
    EXPECT_EQ(row["to"], "1.2.3");
    EXPECT_EQ(row["image_sha256"], sha256OfFile(controller->imageFilePath()).value());
    EXPECT_EQ(row["result"], "updated");
    EXPECT_FALSE(row.contains("error") || row.contains("step") || row.contains("reason"));
    EXPECT_GT(row["seconds"].get<double>(), 0.5); // the connection's pauses alone
    EXPECT_LT(row["seconds"].get<double>(), 60.0);
    EXPECT_THAT(platform->logLines(), ::testing::IsEmpty());
}

TEST_F(DesktopHistoryTest, AFailureIsRecordedWithWhatEndedIt) {
    {
        qrbsim::Fault refuseSeal;
        refuseSeal.kind = qrbsim::Fault::Kind::Answer;
        refuseSeal.command = kCommandSeal;
        refuseSeal.value = 0x15;
        runWithBoard(0xFFFFFFFF, {refuseSeal}); // "Program Firmware" is the default
    }
    const auto history = rows();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["result"], "failed");
    EXPECT_EQ(history[0]["case"], "corrupt");
    EXPECT_FALSE(history[0].contains("from"));
    EXPECT_EQ(history[0]["error"], "SealingError");
    EXPECT_EQ(history[0]["reason"], "Error sealing the flash (21).");
    EXPECT_EQ(history[0]["step"], "Sealing the flash" + kEllipsis);
}

TEST_F(DesktopHistoryTest, ExitAtTheDecisionIsDeclined) {
    runWithBoard(0x00030201); // the same version: "Exit" is the default
    const auto history = rows();
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["result"], "declined");
    EXPECT_EQ(history[0]["case"], "same");
    EXPECT_EQ(history[0]["from"], "1.2.3");
    EXPECT_FALSE(history[0].contains("step"));
}

TEST_F(DesktopHistoryTest, AnUnwritableStateDirectoryCostsOneWarning) {
    // Nothing can be made below a file, root or not.
    usePath(state.writeFile("state", "a file") + "/qrb-updater/history.db");
    runWithBoard(0x00020201);
    EXPECT_EQ(platform->alerts().back().title, "Firmware Update");
    EXPECT_TRUE(simulated->sealed());
    const auto warnings = historyWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_TRUE(warnings[0].starts_with("Update history not recorded in " + historyPath))
        << warnings[0];
}

TEST_F(DesktopHistoryTest, ADamagedFileIsSetAsideWithOneWarning) {
    // An SQLite database whose header is damaged past its first 16 bytes.
    const std::string damaged = std::string("SQLite format 3") + '\0' + std::string(5000, '\x5a');
    usePath(state.writeFile("history.db", damaged));
    runWithBoard(0x00020201);
    EXPECT_EQ(platform->alerts().back().title, "Firmware Update");
    EXPECT_EQ(rows().size(), 1u); // a new history, with this update
    const auto warnings = historyWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], ::testing::HasSubstr("set aside as " + historyPath + ".corrupt-"));
}

} // namespace
} // namespace app_tests
