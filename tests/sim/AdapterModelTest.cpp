#include "AdapterModel.h"
#include "BoardSimulator.h"
#include "HostEnd.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <numeric>
#include <thread>

// The USB serial converter's holding rule on a fake clock, byte for byte;
// then the board answering through it, checked only for lower bounds.

using namespace std::chrono_literals;
using qrbsim::AdapterHold;
using Bytes = std::vector<uint8_t>;

namespace {

const AdapterHold::TimePoint t0{std::chrono::seconds(1000)};
constexpr auto kByte = 21700ns; // one byte at 460800 baud

// n bytes counting up from first, the i-th arriving at start + (i + 1) bytes.
void arrive(AdapterHold& hold, size_t n, uint8_t first, AdapterHold::TimePoint start,
            AdapterHold::Duration latency) {
    for (size_t i = 0; i < n; ++i) {
        hold.arrive(static_cast<uint8_t>(first + i), start + kByte * static_cast<int>(i + 1),
                    latency);
    }
}

Bytes counting(size_t n, uint8_t first) {
    Bytes bytes(n);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
}

TEST(AdapterHold, SixtyTwoWaitingBytesLeaveWithTheLastOfThem) {
    AdapterHold hold;
    arrive(hold, 70, 0, t0, 16ms);
    const auto sixtySecond = t0 + kByte * 62;
    EXPECT_EQ(hold.nextRelease(), sixtySecond);
    EXPECT_TRUE(hold.takeReleased(sixtySecond - 1ns).empty());
    EXPECT_EQ(hold.takeReleased(sixtySecond), counting(62, 0));
    // The other 8 wait for the timer, counted from the 63rd byte.
    const auto timerEnd = t0 + kByte * 63 + 16ms;
    EXPECT_EQ(hold.nextRelease(), timerEnd);
    EXPECT_TRUE(hold.takeReleased(timerEnd - 1ns).empty());
    EXPECT_EQ(hold.takeReleased(timerEnd), counting(8, 62));
    EXPECT_TRUE(hold.empty());
    EXPECT_FALSE(hold.nextRelease());
}

TEST(AdapterHold, AShortAnswerWaitsForTheTimerFromItsFirstByte) {
    AdapterHold hold;
    arrive(hold, 5, 0x10, t0, 16ms);
    EXPECT_EQ(hold.nextRelease(), t0 + kByte + 16ms);
    EXPECT_TRUE(hold.takeReleased(t0 + kByte + 16ms - 1ns).empty());
    // A byte after the timer ran out is not part of the batch that left.
    hold.arrive(0x20, t0 + kByte + 16ms, 16ms);
    EXPECT_EQ(hold.takeReleased(t0 + kByte + 16ms), counting(5, 0x10));
    EXPECT_EQ(hold.nextRelease(), t0 + kByte + 32ms);
    EXPECT_EQ(hold.takeReleased(t0 + 1s), Bytes{0x20});
}

TEST(AdapterHold, ANewTimerCountsFromTheNextAnswerOn) {
    AdapterHold hold;
    arrive(hold, 4, 0, t0, 16ms);
    // The timer changes while the answer waits: it keeps the old one.
    hold.arrive(4, t0 + 5 * kByte, 1ms);
    EXPECT_EQ(hold.nextRelease(), t0 + kByte + 16ms);
    EXPECT_EQ(hold.takeReleased(t0 + kByte + 16ms), counting(5, 0));

    const auto next = t0 + 20ms;
    arrive(hold, 8, 0x40, next, 1ms);
    EXPECT_EQ(hold.nextRelease(), next + kByte + 1ms);
    EXPECT_EQ(hold.takeReleased(next + kByte + 1ms), counting(8, 0x40));
}

TEST(AdapterModel, NamesAndTheLatencyAttribute) {
    EXPECT_EQ(qrbsim::parseAdapterModel("ftdi"), qrbsim::AdapterModel::Ftdi);
    EXPECT_EQ(qrbsim::parseAdapterModel("cdc-acm"), qrbsim::AdapterModel::CdcAcm);
    EXPECT_EQ(qrbsim::parseAdapterModel("none"), qrbsim::AdapterModel::None);
    EXPECT_FALSE(qrbsim::parseAdapterModel("FTDI"));

    testing_support::TempDir dir;
    const std::string path = (dir.path() / "latency_timer").string();
    EXPECT_EQ(qrbsim::readLatencyTimer(path), 16ms) << "no file: the driver's default";
    for (const auto& [text, expected] : {std::pair{"1\n", 1ms}, std::pair{"255", 255ms},
                                         std::pair{"256\n", 16ms}, std::pair{"x", 16ms}}) {
        std::ofstream(path) << text;
        EXPECT_EQ(qrbsim::readLatencyTimer(path), expected) << text;
    }
}

// The board behind a converter whose timer is read from a file between answers.
TEST(AdapterModel, TheBoardsAnswersWaitForTheTimerInTheAttributeFile) {
    testing_support::TempDir dir;
    const std::string path = (dir.path() / "latency_timer").string();
    std::ofstream(path) << "250\n";
    qrbsim::SimulatorConfig config;
    config.versionWord = qrbsim::kNoFirmware; // starts in its resident bootloader
    config.adapter = qrbsim::AdapterModel::Ftdi;
    config.latencyTimerFile = path;
    qrbsim::BoardSimulator board(std::move(config));
    board.start();
    simtest::HostEnd host(board.slavePath(), 57600);
    for (int i = 0; i < 500 && board.observedLineSpeed() != 57600; ++i) {
        std::this_thread::sleep_for(1ms);
    }

    auto exchange = [&host] {
        const auto start = std::chrono::steady_clock::now();
        host.write({0x05});
        EXPECT_EQ(host.read(5), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x05}));
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_GE(exchange(), 250ms);
    std::ofstream(path) << "1\n";
    EXPECT_LT(exchange(), 250ms) << "a lower timer counts from the next answer";
    board.stop();
}

} // namespace
