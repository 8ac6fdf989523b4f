// The serial layer's low-latency request on emulated adapters whose ioctl
// handler answers the serial settings as ftdi_sio does. Runs under
// umockdev-wrapper.

#include "EmulatedAdapter.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <linux/serial.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using qrbsim::AdapterKind;
using qrbsim::EmulatedAdapter;
using qrbsim::qrbAdapter;

std::string attribute(const std::string& path) {
    std::ifstream file(path);
    std::string value;
    std::getline(file, value);
    return value;
}

class LowLatencyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(qrbsim::underUmockdev())
            << "run this test under umockdev-wrapper, never on the real /dev";
        adapter.allowExclusiveOpen();
        adapter.plugIn();
    }
    void TearDown() override { serClose(); }

    qrbsim::UmockdevTestbed testbed;
    EmulatedAdapter adapter{testbed, qrbAdapter()};
};

TEST_F(LowLatencyTest, AConverterRunsAt1msWhileOpenAndAsFoundAfterwards) {
    ASSERT_EQ(attribute(adapter.latencyTimerPath()), "16");
    for (const BaudRate rate : {kFirmwareBaudRate, kBootloaderBaudRate}) {
        serInit(adapter.deviceNode().c_str(), rate);
        EXPECT_EQ(ser_low_latency.result, LowLatency::Granted);
        EXPECT_EQ(adapter.latencyTimer(), 1u);
        EXPECT_EQ(attribute(adapter.latencyTimerPath()), "1");
        serClose();
        EXPECT_EQ(adapter.latencyTimer(), 16u);
        EXPECT_EQ(attribute(adapter.latencyTimerPath()), "16");
    }
    EXPECT_EQ(adapter.serialSettingsRequests(), 4u); // a set and a restore per open
}

TEST_F(LowLatencyTest, AFlagThatWasAlreadySetIsLeftAsItWas) {
    const int fd = ::open(adapter.deviceNode().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    serial_struct settings{};
    ASSERT_EQ(::ioctl(fd, TIOCGSERIAL, &settings), 0);
    settings.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
    ASSERT_EQ(::ioctl(fd, TIOCSSERIAL, &settings), 0);
    ::close(fd);

    serInit(adapter.deviceNode().c_str(), kBootloaderBaudRate);
    EXPECT_EQ(ser_low_latency.result, LowLatency::AlreadySet);
    serClose();
    EXPECT_EQ(adapter.latencyTimer(), 1u);
    EXPECT_EQ(adapter.serialSettingsRequests(), 1u); // the test's own
}

TEST_F(LowLatencyTest, ARefusingDriverLeavesTheOpenAsItWasAndIsNotAskedToRestore) {
    adapter.refuseSerialSettings(EPERM);
    ASSERT_NO_THROW(serInit(adapter.deviceNode().c_str(), kBootloaderBaudRate));
    EXPECT_EQ(ser_low_latency.result, LowLatency::Refused);
    EXPECT_EQ(ser_low_latency.error, EPERM);
    EXPECT_GE(ser_fd, 0);
    serClose();
    EXPECT_EQ(adapter.latencyTimer(), 16u);
    EXPECT_EQ(adapter.serialSettingsRequests(), 1u);
}

TEST(LowLatencyOtherAdapters, AModemWithoutSerialSettingsOpensWithoutARequest) {
    qrbsim::UmockdevTestbed testbed;
    qrbsim::AdapterDescription modem = qrbAdapter("QRB00043", "ttyACM0");
    modem.kind = AdapterKind::CdcAcmModem;
    EmulatedAdapter adapter(testbed, modem);
    adapter.allowExclusiveOpen();
    adapter.plugIn();
    ASSERT_NO_THROW(serInit(adapter.deviceNode().c_str(), kBootloaderBaudRate));
    EXPECT_EQ(ser_low_latency.result, LowLatency::Unsupported);
    EXPECT_EQ(ser_low_latency.error, ENOTTY);
    serClose();
    EXPECT_EQ(adapter.serialSettingsRequests(), 0u);
}

} // namespace
