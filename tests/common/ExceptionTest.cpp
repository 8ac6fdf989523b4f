#include "FirmwareUpdaterException.h"
#include "Log.h"
#include "LogCapture.h"

#include <gtest/gtest.h>

TEST(Exceptions, RaiseBuildsNameAndReasonInOneStep) {
    try {
        SerialException::raise(
            "SerialCommSendError",
            "Serial Communication Error: transmitting serial data failed (%d:%d).", -1, 4);
        FAIL() << "raise returned";
    } catch (const SerialException& e) {
        EXPECT_EQ(e.name(), "SerialCommSendError");
        EXPECT_EQ(e.reason(),
                  "Serial Communication Error: transmitting serial data failed (-1:4).");
        EXPECT_STREQ(e.what(),
                     "SerialCommSendError: Serial Communication Error: transmitting serial data "
                     "failed (-1:4).");
    }
}

TEST(Exceptions, SubclassesAreCaughtAsTheFamilyButNotAsEachOther) {
    EXPECT_THROW(BootloaderException::raise("ChecksumError", "x"), FirmwareUpdaterException);
    EXPECT_THROW(SerialException::raise("SerialOpenError", "x"), FirmwareUpdaterException);
    try {
        BootloaderException::raise("ChecksumError", "x");
    } catch (const SerialException&) {
        FAIL() << "a bootloader failure caught as a serial one";
    } catch (const BootloaderException&) {
    }
}

TEST(Exceptions, LogLineCarriesSiteNameAndReason) {
    testing_support::LogCapture log;
    try {
        SerialException::raise("SerialTIOCEXCLError.",
                               "There was a problem getting exclusive access to the QRB Box.");
    } catch (const FirmwareUpdaterException& e) {
        logException(LogSite::OpenAtFirmwareSpeed, e);
    }
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "Exception(3): [SerialTIOCEXCLError.: There was a problem getting "
                              "exclusive access to the QRB Box.]");
}
