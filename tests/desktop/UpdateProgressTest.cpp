// The busy panel's progress during the steps that send data: the bar and the
// text below it, on the real controller against a paced simulated board; the
// time-left estimate and the texts on their own.

#include "AppTestSupport.h"
#include "BoardSimulator.h"
#include "ImageWriter.h"
#include "UpdateProgress.h"

#include <gmock/gmock.h>

#include <map>

namespace app_tests {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<uint8_t>;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
    }
    return bytes;
}

struct Record {
    uint32_t address;
    Bytes data;
};

// What one step of the update showed: its caption, then the bar's values
// ("value/maximum" or "indeterminate") and the texts below it.
struct StepShown {
    std::string caption;
    std::vector<std::string> bar;
    std::vector<std::string> detail;
};

// The platform's timeline cut at each step caption; what came before the
// first caption is left out, what came after the last belongs to it.
std::vector<StepShown> stepsShown(const std::vector<std::string>& timeline) {
    const std::string captionPrefix = "caption progressCaption: ";
    const std::string barPrefix = "progress progressIndicator ";
    const std::string detailPrefix = "caption progressDetail: ";
    std::vector<StepShown> steps;
    for (const std::string& entry : timeline) {
        if (entry.starts_with(captionPrefix)) {
            steps.push_back({entry.substr(captionPrefix.size()), {}, {}});
        } else if (steps.empty()) {
            continue;
        } else if (entry.starts_with(barPrefix)) {
            steps.back().bar.push_back(entry.substr(barPrefix.size()));
        } else if (entry.starts_with(detailPrefix)) {
            steps.back().detail.push_back(entry.substr(detailPrefix.size()));
        }
    }
    return steps;
}

std::pair<uint64_t, uint64_t> barValue(const std::string& value) {
    const size_t slash = value.find('/');
    EXPECT_NE(slash, std::string::npos) << value;
    return {std::stoull(value.substr(0, slash)), std::stoull(value.substr(slash + 1))};
}

class UpdateProgressTest : public AppTest {
  protected:
    // The sample configuration naming two images of the test's own.
    void useImages(const std::vector<Record>& ramBootloader, const std::vector<Record>& firmware) {
        writeImage("QRB_RAM_Bootloader.sc", ramBootloader);
        writeImage("QRB_Firmware.sc", firmware);
        writeConfiguration();
    }

    qrbsim::BoardSimulator& pacedBoard(std::vector<qrbsim::Fault> faults = {}) {
        qrbsim::SimulatorConfig config;
        config.versionWord = 0x00020201;
        config.pace = true;
        config.faults = std::move(faults);
        board = std::make_unique<qrbsim::BoardSimulator>(std::move(config));
        board->start();
        attach("usbserial-QRB00042", board->slavePath());
        return *board;
    }

    std::optional<int> runToExit() {
        return platform->runUntilExit(60s, [this] { controller->awakeFromNib(); });
    }

    // Each step that sends data: the bar starts at 0 of the total, never goes
    // back, and ends at the total; the text follows it. Any other step shows
    // no count. Returns how many values lay strictly between 0 and the total.
    size_t expectEachLongStepRisesToItsTotal(const std::map<std::string, uint64_t>& totals) {
        const std::vector<StepShown> steps = stepsShown(platform->timeline());
        size_t between = 0;
        bool countShown = false;
        for (const StepShown& step : steps) {
            SCOPED_TRACE(step.caption);
            const auto total = totals.find(step.caption);
            if (total == totals.end()) {
                // Back to the busy bar, once, if the step before counted.
                EXPECT_EQ(step.bar, countShown ? std::vector<std::string>{"indeterminate"}
                                               : std::vector<std::string>{});
                EXPECT_EQ(step.detail,
                          countShown ? std::vector<std::string>{""} : std::vector<std::string>{});
                countShown = false;
                continue;
            }
            countShown = true;
            const uint64_t maximum = std::max<uint64_t>(total->second, 1);
            if (step.bar.empty() || step.detail.empty()) {
                ADD_FAILURE() << "no count shown";
                continue;
            }
            uint64_t last = 0;
            for (size_t i = 0; i < step.bar.size(); ++i) {
                const auto [value, barMaximum] = barValue(step.bar[i]);
                EXPECT_EQ(barMaximum, maximum);
                EXPECT_GE(value, last) << "the bar went back";
                if (value > 0 && value < total->second) {
                    ++between;
                }
                last = value;
            }
            EXPECT_EQ(barValue(step.bar.front()).first, total->second > 0 ? 0u : 1u);
            EXPECT_EQ(last, maximum);
            const std::string of = " of " + formatByteCount(total->second);
            EXPECT_EQ(step.detail.front(), "0 B" + of);
            EXPECT_EQ(step.detail.back(), formatByteCount(total->second) + of);
            for (const std::string& text : step.detail) {
                EXPECT_NE(text.find(of), std::string::npos) << text;
            }
        }
        return between;
    }

    std::unique_ptr<qrbsim::BoardSimulator> board;

  private:
    void writeImage(const std::string& name, const std::vector<Record>& records) {
        SimpleCodeImageBuilder builder;
        for (const Record& record : records) {
            builder.addType2Record(0x01020304, 7);
            builder.addDataRecord(record.address, record.data);
        }
        builder.addEndRecord();
        resources.writeFile(name, builder.bytes());
    }
};

TEST_F(UpdateProgressTest, TheBarRisesToEachLongStepsTotalAndResetsBetweenSteps) {
    // Unaligned records, a short one inside a single word, an empty one, and
    // a type-2 record before each.
    const std::vector<Record> firmware{
        {0x0000, pattern(20000, 1)},
        {0x6001, pattern(5001, 2)},
        {0x8003, {0xA5}},
        {0x9001, {0x12, 0x34}},
        {0xA000, {}},
    };
    const uint64_t firmwareBytes = 20000 + 5001 + 1 + 2;
    useImages({{0x400000, pattern(2001, 3)}}, firmware);
    pacedBoard();

    EXPECT_EQ(runToExit(), 0);
    ASSERT_EQ(platform->alerts().size(), 2u);
    EXPECT_EQ(platform->alerts()[1].title, "Firmware Update");
    // The caption field holds the step captions and nothing else.
    EXPECT_EQ(platform->captionsOf("progressCaption"), kUpdateCaptions);
    EXPECT_THAT(platform->logLines(), IsEmpty());

    const size_t between = expectEachLongStepRisesToItsTotal({
        {kUpdateCaptions[1], 2001},
        {kUpdateCaptions[2], 2001},
        {kUpdateCaptions[5], firmwareBytes},
        {kUpdateCaptions[6], firmwareBytes},
    });
    // Sampled while the paced board took its bytes (about 1 s a step).
    EXPECT_GT(between, 0u);
    // Nothing of the count is left once the update has ended.
    EXPECT_EQ(platform->progressEvents().back(), "progressIndicator indeterminate");
    EXPECT_EQ(platform->captionsOf("progressDetail").back(), "");
}

TEST_F(UpdateProgressTest, AnImageWithoutDataShowsItsStepsDoneAtOnce) {
    useImages({{0x400000, pattern(64, 4)}}, {});
    pacedBoard();
    EXPECT_EQ(runToExit(), 0);
    ASSERT_EQ(platform->alerts().size(), 2u);
    EXPECT_EQ(platform->alerts()[1].title, "Firmware Update");
    expectEachLongStepRisesToItsTotal({
        {kUpdateCaptions[1], 64},
        {kUpdateCaptions[2], 64},
        {kUpdateCaptions[5], 0},
        {kUpdateCaptions[6], 0},
    });
    const auto steps = stepsShown(platform->timeline());
    ASSERT_EQ(steps.size(), 8u);
    EXPECT_THAT(steps[5].bar, ElementsAre("1/1"));
    EXPECT_THAT(steps[5].detail, ElementsAre("0 B of 0 B"));
}

TEST_F(UpdateProgressTest, AFailureMidStepLeavesNoCountBehindTheFinalAlert) {
    useImages({{0x400000, pattern(500, 5)}}, {{0x0000, pattern(8192, 6)}});
    // The fifth block of 1 KiB of the firmware comes back with a wrong checksum.
    pacedBoard({qrbsim::parseFault("corrupt-checksum:5/ram")});
    EXPECT_EQ(runToExit(), 0);
    EXPECT_THAT(platform->logLinesWithoutTraces(),
                ElementsAre("Exception(7): [ProgrammingChecksumError: Programming Error: "
                            "checksum does not match.]"));

    const std::vector<std::string> timeline = platform->timeline();
    const auto alert =
        std::find(timeline.begin(), timeline.end(), "alert critical Firmware Update Error");
    ASSERT_NE(alert, timeline.end());
    // Between the programming caption and the alert: a count that never
    // reached the total, then the busy bar and an empty text again.
    std::vector<std::string> shown;
    for (auto entry =
             std::find(timeline.begin(), alert, "caption progressCaption: " + kUpdateCaptions[5]);
         entry != alert; ++entry) {
        if (entry->starts_with("progress ") || entry->starts_with("caption progressDetail")) {
            shown.push_back(*entry);
        }
    }
    ASSERT_GE(shown.size(), 4u);
    EXPECT_EQ(shown[0], "progress progressIndicator 0/8192");
    EXPECT_EQ(shown[shown.size() - 2], "progress progressIndicator indeterminate");
    EXPECT_EQ(shown.back(), "caption progressDetail: ");
    for (size_t i = 0; i + 2 < shown.size(); ++i) {
        EXPECT_NE(shown[i], "progress progressIndicator 8192/8192");
    }
}

// Refused while it is opened, before the flash is unsealed: no count of it.
TEST_F(UpdateProgressTest, AnImageThatCannotBeReadToItsEndFailsWhenOpened) {
    useImages({{0x400000, pattern(100, 7)}}, {});
    SimpleCodeImageBuilder firmware;
    firmware.addDataRecord(0, pattern(64, 8)).addBytes(Bytes{9});
    resources.writeFile("QRB_Firmware.sc", firmware.bytes());
    pacedBoard();
    EXPECT_EQ(runToExit(), 0);
    EXPECT_THAT(platform->logLinesWithoutTraces(),
                ElementsAre("Exception(7): [UnknownRecordError: Unknown record in simple-code "
                            "input file (9).]"));
    const auto steps = stepsShown(platform->timeline());
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[3].caption, kUpdateCaptions[3]);
    EXPECT_THAT(steps[3].bar, ElementsAre("indeterminate")); // the bootloader's count ends
    EXPECT_EQ(platform->progressEvents().back(), "progressIndicator indeterminate");
}

// --- The texts and the estimate, on a fake clock.

TEST(ProgressText, ByteCountsAndTheTimeLeft) {
    EXPECT_EQ(formatByteCount(0), "0 B");
    EXPECT_EQ(formatByteCount(1023), "1023 B");
    EXPECT_EQ(formatByteCount(1024), "1.0 KiB");
    EXPECT_EQ(formatByteCount(12800), "12.5 KiB");
    EXPECT_EQ(formatByteCount(1048575), "1.0 MiB"); // not "1024.0 KiB"
    EXPECT_EQ(formatByteCount(1572864), "1.5 MiB");
    EXPECT_EQ(formatProgressDetail(12800, 49152, std::nullopt), "12.5 KiB of 48.0 KiB");
    EXPECT_EQ(formatProgressDetail(12800, 49152, std::chrono::seconds(65)),
              "12.5 KiB of 48.0 KiB \u00B7 about 1:05 left");
    EXPECT_EQ(formatProgressDetail(0, 1 << 20, std::chrono::seconds(3600)),
              "0 B of 1.0 MiB \u00B7 about 60:00 left");
}

TEST(TimeLeftEstimator, EstimatesFromTheRecentRateOnceTheStepHasRunAWhile) {
    TimeLeftEstimator::Clock::time_point now{};
    TimeLeftEstimator estimator([&now] { return now; });
    const auto at = [&](std::chrono::milliseconds t, uint64_t done) {
        now = TimeLeftEstimator::Clock::time_point{} + t;
        estimator.sample(done);
    };

    estimator.start(100'000);
    at(1000ms, 10'000);
    EXPECT_EQ(estimator.timeLeft(), std::nullopt); // not yet 2 s
    at(2000ms, 20'000);
    EXPECT_EQ(estimator.timeLeft(), std::chrono::seconds(8)); // 10 kB/s, 80 kB left
    // The rate halves: after a window at the new rate the estimate follows it.
    for (int t = 3; t <= 8; ++t) {
        at(std::chrono::milliseconds(1000 * t), 20'000 + static_cast<uint64_t>(t - 2) * 5'000);
    }
    EXPECT_EQ(estimator.timeLeft(), std::chrono::seconds(10)); // 5 kB/s, 50 kB left
    at(8500ms, 52'500);
    EXPECT_EQ(estimator.timeLeft(), std::chrono::seconds(10)); // 9.5 s, rounded up
    // Nothing moving: no estimate, rather than a wrong one.
    for (int t = 9; t <= 15; ++t) {
        at(std::chrono::milliseconds(1000 * t), 52'500);
    }
    EXPECT_EQ(estimator.timeLeft(), std::nullopt);
    at(16000ms, 100'000);
    EXPECT_EQ(estimator.timeLeft(), std::nullopt); // done

    // A new step starts afresh.
    estimator.start(1000);
    at(17000ms, 500);
    EXPECT_EQ(estimator.timeLeft(), std::nullopt);
}

} // namespace
} // namespace app_tests
