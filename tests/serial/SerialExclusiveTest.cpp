#include "FirmwareUpdaterException.h"
#include "Pty.h"
#include "Serial.h"
#include "Unprivileged.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The device that a parent run of this test holds; set only in the child run.
constexpr const char* kHeldDeviceVariable = "QRB_TEST_HELD_DEVICE";

std::string openFailure(const std::string& path, const std::string& errorText) {
    return "Connection to QRB board failed: open(" + path + ") failed. " + errorText + ".";
}

// The exclusive-use mark and the device's permissions bind only an
// unprivileged process: the refused opens run in a child run without
// privileges (through setpriv when the tests run as root).
TEST(SerialExclusiveUse, SecondOpenOfAHeldDeviceIsBusy) {
    if (const char* held = std::getenv(kHeldDeviceVariable)) {
        // Child run: another process holds the device.
        try {
            serInit(held, kBootloaderBaudRate);
            ADD_FAILURE() << "a held device was opened";
        } catch (const SerialException& e) {
            EXPECT_EQ(e.name(), "SerialOpenError");
            EXPECT_EQ(e.reason(), openFailure(held, "errno 16 Device or resource busy. Make sure "
                                                    "that other applications are not connected "
                                                    "to QRB board"));
            EXPECT_EQ(e.errorNumber(), EBUSY);
        }
        return;
    }

    testing_support::Pty pty;
    serInit(pty.slavePath().c_str(), kBootloaderBaudRate);
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(pty.slavePath().c_str(), 0666), 0);
    }
    const std::optional<int> status = testing_support::runCurrentTestUnprivileged(
        {std::string(kHeldDeviceVariable) + "=" + pty.slavePath()});
    serClose();
    if (!status) {
        GTEST_SKIP() << "setpriv is needed to open the device as an unprivileged user";
    }
    EXPECT_EQ(*status, 0);
}

TEST(SerialExclusiveUse, ADeviceTheUserMayNotOpenKeepsItsErrno) {
    if (!testing_support::inUnprivilegedRun()) {
        const std::optional<int> status = testing_support::runCurrentTestUnprivileged();
        if (!status) {
            GTEST_SKIP() << "setpriv is needed to open the device as an unprivileged user";
        }
        EXPECT_EQ(*status, 0);
        return;
    }
    testing_support::Pty pty; // the child run's own, so that it may change its mode
    ASSERT_EQ(chmod(pty.slavePath().c_str(), 0), 0);
    try {
        serInit(pty.slavePath().c_str(), kFirmwareBaudRate);
        ADD_FAILURE() << "a device without permissions was opened";
    } catch (const SerialException& e) {
        EXPECT_EQ(e.name(), "SerialOpenError");
        EXPECT_EQ(e.reason(), openFailure(pty.slavePath(), "errno 13 Permission denied."));
        EXPECT_EQ(e.errorNumber(), EACCES);
    }
    EXPECT_EQ(ser_fd, -1);
}

} // namespace
