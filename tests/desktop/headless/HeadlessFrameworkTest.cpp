// The headless framework's own rules: its passes, its record of alerts and
// what happens after the end. The rules it shares with the Qt framework are
// in tests/desktop/contract.

#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using testing_support::TestPlatform;

// An eventfd as a device event source: readable once signalled.
struct EventSource {
    EventSource() : fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~EventSource() { ::close(fd); }
    void signal() const {
        const uint64_t one = 1;
        EXPECT_EQ(::write(fd, &one, sizeof one), 8);
    }
    void consume() const {
        uint64_t value = 0;
        EXPECT_EQ(::read(fd, &value, sizeof value), 8);
    }
    int fd;
};

TEST(TestPlatformTest, PostedCallsRunInOrderAndDeferredOnesNeverAtOnce) {
    TestPlatform platform;
    std::vector<std::string> order;
    platform.performAfterDelay([&] { order.push_back("deferred"); }, 0.0);
    EXPECT_TRUE(order.empty());
    platform.runUntil([&] { return order.size() == 1; }, 1s);

    // A deferred call made during a pass waits for a later one.
    const auto madeAt = platform.passes();
    std::uint64_t ranAt = 0;
    platform.performAfterDelay(
        [&] { platform.performAfterDelay([&] { ranAt = platform.passes(); }, 0.0); }, 0.0);
    EXPECT_TRUE(platform.runUntil([&] { return ranAt != 0; }, 1s));
    EXPECT_GE(ranAt, madeAt + 2);
}

TEST(TestPlatformTest, AnOpenAlertHoldsDeviceEventsAndDeferredCallsButNotPostedOnes) {
    TestPlatform platform;
    EventSource device;
    int deviceEvents = 0;
    platform.addSource(device.fd, [&] {
        device.consume();
        ++deviceEvents;
    });
    bool deferredRan = false;
    std::atomic<bool> postedRan{false};
    std::atomic<bool> workerDone{false};

    int passesWhileOpen = 0;
    platform.queueAlertAnswer([&](const TestPlatform::Alert&) -> std::optional<int> {
        // Nothing but the worker's posted call may run while the alert is open.
        EXPECT_EQ(deviceEvents, 0);
        EXPECT_FALSE(deferredRan);
        EXPECT_TRUE(platform.alertOpen());
        if (++passesWhileOpen < 20 || !postedRan || !workerDone) {
            return std::nullopt;
        }
        return 0;
    });
    platform.performAfterDelay(
        [&] {
            device.signal();
            platform.performAfterDelay([&] { deferredRan = true; }, 0.0);
            platform.detachNewThread([&] {
                // Waits for the main thread while the alert is open.
                platform.performOnMainThread([&] { postedRan = true; }, true);
                workerDone = true;
            });
            EXPECT_EQ(platform.runAlert(ApplicationFramework::AlertStyle::Plain, "Title", "Message",
                                        "OK", "Cancel", std::nullopt, 0),
                      0);
        },
        0.0);

    EXPECT_TRUE(platform.runUntil([&] { return deviceEvents == 1 && deferredRan; }, 5s));
    // The record keeps the alert with its answer.
    ASSERT_EQ(platform.alerts().size(), 1u);
    EXPECT_EQ(platform.alerts()[0].answer, 0);
    EXPECT_FALSE(platform.alertOpen());
}

TEST(TestPlatformTest, ExitStopsTheLoopAndReleasesWaitingWorkers) {
    TestPlatform platform;
    platform.performAfterDelay([&] { platform.exit(3); }, 0.0);
    EXPECT_EQ(platform.runUntilExit(2s), 3);

    // After the end, posted calls are dropped and a waiting worker goes on.
    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    platform.detachNewThread([&] {
        platform.performOnMainThread([&] { ran = true; }, true);
        returned = true;
    });
    EXPECT_TRUE(platform.joinWorkers(2s));
    EXPECT_FALSE(ran);
    EXPECT_EQ(platform.timeline().back(), "exit 3");
}

} // namespace
