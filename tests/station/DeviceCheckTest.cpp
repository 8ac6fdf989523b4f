// The look at the device behind a board's tty (deviceChange), in process, on
// emulated adapters in a umockdev testbed, through udev as the station sees
// it. Runs under umockdev-wrapper.

#include "DeviceCheck.h"
#include "DeviceSource.h"
#include "EmulatedAdapter.h"
#include "Station.h"
#include "UdevDeviceSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using qrbsim::EmulatedAdapter;
using qrbsim::qrbAdapter;

// The five looks at a tty missing from the listing are 100 ms apart.
constexpr auto kAllRetries = 400ms;

class DeviceCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qrbsim::underUmockdev()) << "run this test under umockdev-wrapper";
        setDefaultDeviceSource(std::make_shared<UdevDeviceSource>());
        first.plugIn();
        const std::vector<BoardIdentity> listed = Station::attachedBoards({"/dev/ttyUSB0"});
        ASSERT_EQ(listed.size(), 1u);
        board = listed.front();
        ASSERT_EQ(board.serial, "QRB00100");
    }
    void TearDown() override { setDefaultDeviceSource(nullptr); }

    // deviceChange(board) and how long it took.
    std::pair<std::optional<std::string>, Clock::duration> look() const {
        const auto started = Clock::now();
        std::optional<std::string> change = deviceChange(board);
        return {change, Clock::now() - started};
    }

    qrbsim::UmockdevTestbed testbed;
    EmulatedAdapter first{testbed, qrbAdapter("QRB00100", "ttyUSB0", "1-1")};
    BoardIdentity board;
};

TEST_F(DeviceCheck, TheSameAdapterPassesAndAnotherOnTheTtyFailsWithoutRetries) {
    const auto [same, sameTook] = look();
    EXPECT_FALSE(same) << *same;
    EXPECT_LT(sameTook, kAllRetries);

    // The board goes; the kernel gives its tty to an adapter on another port.
    EmulatedAdapter other(testbed, qrbAdapter("QRB00199", "ttyUSB0", "1-9"));
    first.unplug();
    other.takeNodeOf(first);
    other.plugIn();
    const auto [change, took] = look();
    ASSERT_TRUE(change);
    EXPECT_EQ(*change, "The device behind /dev/ttyUSB0 is now another adapter (QRB00199 on "
                       "pci-0000:00:14.0-usb-0:9:1.0); it was not updated under this board's "
                       "name.");
    EXPECT_LT(took, kAllRetries) << "another adapter counts at the first look";
}

TEST_F(DeviceCheck, ATtyMissingFromAListingOnlyBrieflyPasses) {
    first.unplug();
    std::thread back([this] {
        std::this_thread::sleep_for(150ms);
        first.plugIn();
    });
    const auto [change, took] = look();
    back.join();
    EXPECT_FALSE(change) << *change;
    EXPECT_GE(took, 100ms) << "the tty was looked at again";
}

TEST_F(DeviceCheck, ATtyGoneForGoodFailsAfterTheRetries) {
    first.unplug();
    const auto [change, took] = look();
    ASSERT_TRUE(change);
    EXPECT_EQ(*change, "The device behind /dev/ttyUSB0 is no longer the board's adapter; it was "
                       "not updated under its name.");
    EXPECT_GE(took, kAllRetries);
    EXPECT_LT(took, 5s) << "generous: the retries need half a second";
}

} // namespace
