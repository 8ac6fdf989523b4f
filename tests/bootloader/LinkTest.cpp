#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "Pty.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using testing_support::Pty;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kEcho = {0xAA, 0x55, 0xA5, 0x5A};

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <class Body> FirmwareUpdaterException raised(Body body) {
    try {
        body();
    } catch (const FirmwareUpdaterException& e) {
        return e;
    }
    ADD_FAILURE() << "nothing was raised";
    return FirmwareUpdaterException("", "");
}

// Plays a bootloader that answers the n-th sync sequence it receives with
// replies[n] (the last reply repeats). It counts the sequences, optionally
// sets a stop flag before its last scripted reply, and closes the line if
// the host is still talking after 20 seconds or 6 sequences, so that a host
// that never gets in step fails instead of waiting for ever.
class SyncPeer {
  public:
    SyncPeer(Pty& pty, std::vector<Bytes> replies, std::atomic<bool>* stop = nullptr)
        : pty_(pty), replies_(std::move(replies)), stop_(stop), thread_([this] { play(); }) {}
    ~SyncPeer() { finish(); }

    // Ends the peer once the host is done; the number of sequences it saw.
    int finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        return sequences_;
    }

  private:
    void play() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        Bytes pending;
        while (!done_) {
            if (sequences_ > 5 || std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the host did not get in step";
                pty_.closeMaster();
                return;
            }
            const Bytes got = pty_.read(4 - pending.size(), 20);
            pending.insert(pending.end(), got.begin(), got.end());
            if (pending.size() < 4) {
                continue;
            }
            EXPECT_EQ(pending, kEcho) << "the host sends the sync sequence";
            pending.clear();
            const size_t index = std::min(static_cast<size_t>(sequences_), replies_.size() - 1);
            ++sequences_;
            if (stop_ != nullptr && index == replies_.size() - 1) {
                *stop_ = true;
            }
            pty_.write(replies_[index]);
        }
    }

    Pty& pty_;
    std::vector<Bytes> replies_;
    std::atomic<bool>* stop_;
    std::atomic<bool> done_{false};
    std::atomic<int> sequences_{0};
    std::thread thread_;
};

class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override { serInit(pty.slavePath().c_str(), kBootloaderBaudRate); }
    void TearDown() override { serClose(); }

    // What the host sent: n bytes and whatever else follows at once.
    Bytes sent(size_t n) {
        Bytes bytes = pty.read(n, 2000);
        const Bytes more = pty.drain(20);
        bytes.insert(bytes.end(), more.begin(), more.end());
        return bytes;
    }

    // Synchronises with a peer that gives these replies; the number of
    // sequences the host sent.
    int attemptsToSync(std::vector<Bytes> replies) {
        std::atomic<bool> stop{false};
        SyncPeer peer(pty, std::move(replies));
        EXPECT_TRUE(waitForConnection(stop));
        return peer.finish();
    }

    bool lineIsQuiet() {
        bool timedOut = false;
        rxByteWithTimeout(0, 30000, &timedOut);
        return timedOut;
    }

    Pty pty;
};

TEST_F(LinkTest, ResetSendsTheSequenceAndReadsNothing) {
    pty.write({0x42});
    resetConnectedQRBBoard();
    EXPECT_EQ(sent(2), (Bytes{0xE5, 0x7F}));
    EXPECT_EQ(rxByte(), 0x42);
}

TEST_F(LinkTest, CommandsGoOutByteExactAndCheckTheirAnswers) {
    pty.write({0x01});
    processCommand(kCommandUnseal);
    EXPECT_EQ(sent(1), Bytes{0x01});

    pty.write({0x15});
    auto failure = raised([] { processCommand(kCommandUnseal); });
    EXPECT_EQ(failure.name(), "ShortCommandError");
    EXPECT_EQ(failure.reason(), "Error executing short command (21:1).");
    EXPECT_EQ(sent(1), Bytes{0x01});

    pty.write({0x04, 0x00});
    sealFlash(0xAA030201);
    EXPECT_EQ(sent(4), (Bytes{0x04, 0x01, 0x02, 0x03}));
    failure = raised([] { sealFlash(0x00030201); });
    EXPECT_EQ(sent(4), (Bytes{0x04, 0x01, 0x02, 0x03}));
    EXPECT_EQ(failure.name(), "SealingError");
    EXPECT_EQ(failure.reason(), "Error sealing the flash (0).");

    pty.write({0x07, 0xF5});
    jumpToAddress(kRamBootloaderAddress);
    EXPECT_EQ(sent(5), (Bytes{0x07, 0x00, 0x40, 0x00, 0x00}));
    failure = raised([] { jumpToAddress(0x12345678); });
    EXPECT_EQ(failure.name(), "JumpingError");
    EXPECT_EQ(failure.reason(), "Error jumping to address (245).");
    EXPECT_EQ(sent(5), (Bytes{0x07, 0x12, 0x34, 0x56, 0x78}));

    pty.write({0x02, 0x01, 0x00, 0x00, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0x05});
    EXPECT_EQ(getFirmwareVersion(), 0x00000102U);
    EXPECT_EQ(getFirmwareVersion(), kCorruptFirmwareVersion);
    EXPECT_EQ(sent(2), (Bytes{0x05, 0x05}));
    pty.write({0x02, 0x01, 0x00, 0x00, 0x00});
    failure = raised([] { getFirmwareVersion(); });
    EXPECT_EQ(failure.name(), "VersionInfoError");
    EXPECT_EQ(failure.reason(), "Error getting firmware version (0).");
    pty.drain(20);

    // The bounded forms send the same bytes and check the same answers; a
    // board that stays silent ends them after the bound.
    pty.write({0x02, 0x01, 0x00, 0x00, 0x05, 0x06, 0x15});
    EXPECT_EQ(getFirmwareVersionWithin(std::chrono::seconds(1)), 0x00000102U);
    processCommandWithin(kCommandExit, std::chrono::seconds(1));
    failure = raised([] { processCommandWithin(kCommandExit, std::chrono::seconds(1)); });
    EXPECT_EQ(failure.name(), "ShortCommandError");
    EXPECT_EQ(sent(3), (Bytes{0x05, 0x06, 0x06}));
    for (const bool version : {true, false}) {
        if (version) {
            pty.write({0x02, 0x01}); // and then nothing
        }
        const auto started = std::chrono::steady_clock::now();
        failure = raised([version] {
            if (version) {
                getFirmwareVersionWithin(std::chrono::seconds(1));
            } else {
                processCommandWithin(kCommandExit, std::chrono::seconds(1));
            }
        });
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_EQ(failure.name(), "SerialCommTimeoutError");
        EXPECT_EQ(failure.reason(),
                  "Serial Communication Error: no answer from the QRB board within 1 s.");
        EXPECT_EQ(sent(1), Bytes{version ? kCommandVersion : kCommandExit});
        rxBufFlush();
    }
}

TEST_F(LinkTest, SyncMatchesTheEchoWithinEightBytes) {
    // In step at once; what follows the echo is discarded.
    EXPECT_EQ(attemptsToSync({concat(kEcho, {0x11, 0x22, 0x33})}), 1);
    EXPECT_TRUE(lineIsQuiet());
    // Up to four foreign bytes fit in one attempt, five do not.
    EXPECT_EQ(attemptsToSync({concat({1, 2, 3, 4}, kEcho)}), 1);
    EXPECT_EQ(attemptsToSync({concat({1, 2, 3, 4, 5}, kEcho), kEcho}), 2);
    EXPECT_TRUE(lineIsQuiet());
    // The second 0xAA breaks the match without starting a new one.
    EXPECT_EQ(attemptsToSync({{0xAA, 0xAA, 0x55, 0xA5, 0x5A, 0, 0, 0}, kEcho}), 2);
}

TEST_F(LinkTest, SyncDiscardsStaleInputAndHonoursTheStopFlag) {
    std::atomic<bool> stop{true};
    EXPECT_FALSE(waitForConnection(stop));
    EXPECT_TRUE(pty.drain(20).empty()) << "no attempt once stopped";

    // A stale echo from before the call must not count; the peer asks to
    // stop while it answers the first attempt with noise.
    pty.write(kEcho);
    stop = false;
    SyncPeer peer(pty, {Bytes(8, 0x00)}, &stop);
    EXPECT_FALSE(waitForConnection(stop));
    EXPECT_EQ(peer.finish(), 1);

    // A stop while the board stays silent is seen long before its 5 seconds.
    stop = false;
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        stop = true;
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitForConnection(stop));
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_EQ(pty.drain(20), kEcho) << "one attempt";
}

// A device that never stops sending holds the flush before the first
// attempt: the stop flag ends it all the same, and nothing is sent.
TEST_F(LinkTest, AStopEndsTheFlushOfALineThatKeepsTalking) {
    std::atomic<bool> stop{false};
    std::atomic<bool> talking{true};
    std::thread device([&] {
        while (talking) {
            pty.write({0x33});
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::thread stopper([&stop] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        stop = true;
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(waitForConnection(stop));
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    talking = false;
    device.join();
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_TRUE(pty.drain(20).empty()) << "the flush never ended: no sync sequence went out";
}

TEST_F(LinkTest, SilentBoardIsAskedAgainAfterFiveSeconds) {
    SyncPeer peer(pty, {{}, kEcho});
    waitForConnection();
    EXPECT_EQ(peer.finish(), 2);
}

} // namespace
