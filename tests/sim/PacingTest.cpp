#include "BoardSimulator.h"
#include "HostEnd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

// A paced board lets every byte take its time on the wire: no answer reaches
// the host before the request and the answer have both had theirs, so that
// times measured against the simulator never beat the line rate. Only lower
// bounds are checked; a slow machine cannot make them fail.

using namespace std::chrono_literals;
using qrbsim::BoardSimulator;
using qrbsim::SimulatorConfig;
using simtest::be32;
using simtest::HostEnd;
using simtest::operator+;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

namespace {

const Bytes kSync{0xAA, 0x55, 0xA5, 0x5A};
// 10 bits at 57600 baud.
constexpr auto kByteTime = std::chrono::nanoseconds(10 * 1'000'000'000LL / 57600);

// Writes the request and reads n answer bytes; how long that took.
Clock::duration exchange(HostEnd& host, const Bytes& request, size_t n, const Bytes& expected) {
    const Clock::time_point start = Clock::now();
    host.write(request);
    const Bytes answer = host.read(n);
    const Clock::duration took = Clock::now() - start;
    EXPECT_EQ(answer, expected);
    return took;
}

class PacedBoard : public ::testing::Test {
  protected:
    PacedBoard() {
        SimulatorConfig config;
        config.pace = true;
        config.versionWord = qrbsim::kNoFirmware; // starts in its resident bootloader
        board = std::make_unique<BoardSimulator>(std::move(config));
        board->start();
        host = std::make_unique<HostEnd>(board->slavePath(), 57600);
        for (int i = 0; i < 500 && board->observedLineSpeed() != 57600; ++i) {
            std::this_thread::sleep_for(1ms);
        }
    }

    std::unique_ptr<BoardSimulator> board;
    std::unique_ptr<HostEnd> host;
};

TEST_F(PacedBoard, ShortAnswersWaitForTheirRequestAndTheirOwnBytes) {
    for (int i = 0; i < 5; ++i) {
        EXPECT_GE(exchange(*host, kSync, 4, kSync), 8 * kByteTime) << "sync " << i;
        EXPECT_GE(exchange(*host, {0x05}, 5, {0xFF, 0xFF, 0xFF, 0xFF, 0x05}), 6 * kByteTime)
            << "version " << i;
        EXPECT_GE(exchange(*host, {0x01}, 1, {0x01}), 2 * kByteTime) << "short command " << i;
    }
}

TEST_F(PacedBoard, ABlockChecksumWaitsForTheWholeBlock) {
    // One word into the RAM; no leading word, so the board waits for one
    // before it asks for the block. Its wait starts once its acknowledgement
    // is through, which the host sees only some time later: measured from the
    // host's request, the block count takes at least the request's wire
    // time, the acknowledgement's, the whole wait and the count's own.
    const Clock::time_point requested = Clock::now();
    EXPECT_GE(exchange(*host, Bytes{0x02} + be32(0x400000) + be32(2), 1, {0x02}), 10 * kByteTime);
    EXPECT_EQ(host->read(4), be32(2));
    EXPECT_GE(Clock::now() - requested, SimulatorConfig().leadingWordWait + 14 * kByteTime);
    EXPECT_GE(
        exchange(*host, be32(0x11223344) + be32(0x55667788), 4, be32(0x11223344 ^ 0x55667788)),
        12 * kByteTime);
}

} // namespace
