#include "DeviceTestSupport.h"

#include <gmock/gmock.h>

#include <chrono>
#include <thread>

using namespace devnotify_tests;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using Notifier = IORegistryDeviceNotifier;

TEST_F(DeviceTest, FactoryRefusesIncompleteRequestsWithoutRegistering) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    const std::optional<std::string> cls = "IOSerialBSDClient";
    EXPECT_EQ(Notifier::notifierForDevicesNamed(std::nullopt, std::nullopt, recorder, kAdded,
                                                kMultipleAdded, kRemoved, kMultipleRemoved),
              nullptr);
    EXPECT_EQ(Notifier::notifierForDevicesNamed(std::nullopt, cls, nullptr, kAdded, kMultipleAdded,
                                                kRemoved, kMultipleRemoved),
              nullptr);
    EXPECT_EQ(Notifier::notifierForDevicesNamed(std::nullopt, cls, recorder, nullptr, nullptr,
                                                kRemoved, kMultipleRemoved),
              nullptr);
    EXPECT_EQ(Notifier::notifierForDevicesNamed("ttyUSB0", std::nullopt, recorder, kAdded,
                                                kMultipleAdded, nullptr, nullptr),
              nullptr);
    EXPECT_THAT(recorder->reports, IsEmpty());
    EXPECT_EQ(source->livePorts(), 0u);
    EXPECT_EQ(source->liveHandles(), 0u);
    EXPECT_EQ(loop.sourceCount(), 0u);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(DeviceTest, RegistrationReportsPresentDevicesAsOneBatchBeforeReturning) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    source->addDevice(serialDevice("usbserial-QRB2"));
    source->addDevice({{"IOProviderClass", std::string("IOUSBDevice")}}); // another class

    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);
    EXPECT_TRUE(notifier->isRegisteredForNotifications());
    EXPECT_THAT(recorder->reports,
                ElementsAre(Report{"multipleAdded", {"usbserial-QRB1", "usbserial-QRB2"}, {}},
                            Report{"multipleRemoved", {}, {}}));
    // Registration holds the port and both subscription iterators, nothing else.
    EXPECT_EQ(source->livePorts(), 1u);
    EXPECT_EQ(source->liveHandles(), 2u);

    // A second registration changes nothing.
    EXPECT_EQ(notifier->registerForNotifications(), kDeviceReturnSuccess);
    EXPECT_EQ(recorder->reports.size(), 2u);
    EXPECT_EQ(source->livePorts(), 1u);
    EXPECT_EQ(loop.sourceCount(), 1u);
}

TEST_F(DeviceTest, RegistrationWithoutDevicesStillReportsEmptyBatches) {
    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);
    EXPECT_THAT(recorder->reports,
                ElementsAre(Report{"multipleAdded", {}, {}}, Report{"multipleRemoved", {}, {}}));
}

TEST_F(DeviceTest, SingleCallbacksReportEachDeviceAndBatchesWinWhenBothAreGiven) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    source->addDevice(serialDevice("usbserial-QRB2"));
    auto single = singleNotifier();
    ASSERT_NE(single, nullptr);
    EXPECT_THAT(recorder->reports, ElementsAre(Report{"added", {"usbserial-QRB1"}, {}},
                                               Report{"added", {"usbserial-QRB2"}, {}}));

    auto both = std::make_shared<Recorder>();
    auto notifier =
        Notifier::notifierForDevicesNamed(std::nullopt, "IOSerialBSDClient", both, kAdded,
                                          kMultipleAdded, kRemoved, kMultipleRemoved);
    ASSERT_NE(notifier, nullptr);
    EXPECT_THAT(both->reports,
                ElementsAre(Report{"multipleAdded", {"usbserial-QRB1", "usbserial-QRB2"}, {}},
                            Report{"multipleRemoved", {}, {}}));
}

TEST_F(DeviceTest, ArrivalsAndRemovalsArriveOnlyThroughTheRunLoop) {
    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);
    recorder->reports.clear();

    auto first = source->addDevice(serialDevice("usbserial-QRB1"));
    source->addDevice({{"IOProviderClass", std::string("IOUSBDevice")}});
    EXPECT_THAT(recorder->reports, IsEmpty());
    runLoop();
    EXPECT_THAT(recorder->reports, ElementsAre(Report{"multipleAdded", {"usbserial-QRB1"}, {}}));
    EXPECT_EQ(recorder->reports[0].thread, std::this_thread::get_id());

    // A burst before the loop runs comes as one batch; the subscription
    // fires again because the previous batch was drained.
    recorder->reports.clear();
    std::thread plugger([&] {
        source->addDevice(serialDevice("usbserial-QRB2"));
        source->addDevice(serialDevice("usbserial-QRB3", "IOModemSerialStream"));
    });
    plugger.join();
    EXPECT_THAT(recorder->reports, IsEmpty());
    runLoop();
    EXPECT_THAT(recorder->reports,
                ElementsAre(Report{"multipleAdded", {"usbserial-QRB2", "usbserial-QRB3"}, {}}));
    EXPECT_EQ(recorder->reports[0].thread, std::this_thread::get_id());

    recorder->reports.clear();
    recorder->snapshots.clear();
    source->removeDevice(first);
    EXPECT_THAT(recorder->reports, IsEmpty());
    runLoop();
    EXPECT_THAT(recorder->reports, ElementsAre(Report{"multipleRemoved", {"usbserial-QRB1"}, {}}));
    EXPECT_EQ(*recorder->snapshots.at(0), serialDevice("usbserial-QRB1"));
    // Only the device handles of the reports were released: port and two iterators remain.
    EXPECT_EQ(source->liveHandles(), 2u);
}

TEST_F(DeviceTest, NameAndClassMustBothMatch) {
    PropertyDictionary named = serialDevice("usbserial-QRB1");
    named["IONameMatch"] = std::string("ttyUSB0");
    PropertyDictionary otherClass = named;
    otherClass["IOProviderClass"] = std::string("IOUSBDevice");
    source->addDevice(named);
    source->addDevice(otherClass);
    source->addDevice(serialDevice("usbserial-QRB2"));

    auto byName = Notifier::notifierForDevicesNamed("ttyUSB0", std::nullopt, recorder,
                                                    kMultipleAdded, kMultipleRemoved);
    auto both = std::make_shared<Recorder>();
    auto byBoth = Notifier::notifierForDevicesNamed("ttyUSB0", "IOSerialBSDClient", both,
                                                    kMultipleAdded, kMultipleRemoved);
    ASSERT_TRUE(byName && byBoth);
    EXPECT_EQ(recorder->reports.at(0).names.size(), 2u);
    EXPECT_THAT(both->reports.at(0).names, ElementsAre("usbserial-QRB1"));
}

TEST_F(DeviceTest, UnregisterAndInvalidateGiveUpEverything) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);

    notifier->unregisterForNotifications();
    notifier->unregisterForNotifications();
    EXPECT_FALSE(notifier->isRegisteredForNotifications());
    EXPECT_EQ(source->livePorts(), 0u);
    EXPECT_EQ(source->liveHandles(), 0u);
    EXPECT_EQ(loop.sourceCount(), 0u);

    recorder->reports.clear();
    source->addDevice(serialDevice("usbserial-QRB2"));
    runLoop();
    EXPECT_THAT(recorder->reports, IsEmpty());

    // Registering again reports what is present now.
    EXPECT_EQ(notifier->registerForNotifications(), kDeviceReturnSuccess);
    EXPECT_EQ(recorder->reports.at(0).names.size(), 2u);

    recorder->reports.clear();
    notifier->invalidate();
    EXPECT_EQ(notifier->target(), nullptr);
    EXPECT_EQ(recorder.use_count(), 1);
    EXPECT_EQ(source->livePorts(), 0u);
    EXPECT_EQ(source->liveHandles(), 0u);
    notifier->resendAllAddedNotifications();
    source->addDevice(serialDevice("usbserial-QRB3"));
    runLoop();
    EXPECT_THAT(recorder->reports, IsEmpty());
    EXPECT_EQ(source->liveHandles(), 0u);
}

TEST_F(DeviceTest, DestroyingARegisteredNotifierReleasesEverything) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);
    source->addDevice(serialDevice("usbserial-QRB2")); // pending, never delivered
    notifier.reset();
    EXPECT_EQ(source->livePorts(), 0u);
    EXPECT_EQ(source->liveHandles(), 0u);
    EXPECT_EQ(loop.sourceCount(), 0u);
    EXPECT_EQ(recorder.use_count(), 1);
    runLoop();
    EXPECT_EQ(recorder->reports.size(), 2u);
}

TEST_F(DeviceTest, ResendReportsRS232DevicesOfTheClassOnly) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    source->addDevice(serialDevice("modem", "IOModemSerialStream"));
    PropertyDictionary otherName = serialDevice("usbserial-QRB2");
    otherName["IONameMatch"] = std::string("other");
    source->addDevice(otherName);
    PropertyDictionary named = serialDevice("usbserial-QRB3");
    named["IONameMatch"] = std::string("ttyUSB0");
    source->addDevice(named);

    auto notifier = Notifier::notifierForDevicesNamed("ttyUSB0", "IOSerialBSDClient", recorder,
                                                      kMultipleAdded, kMultipleRemoved);
    ASSERT_NE(notifier, nullptr);
    EXPECT_THAT(recorder->reports.at(0).names, ElementsAre("usbserial-QRB3"));

    recorder->reports.clear();
    notifier->resendAllAddedNotifications();
    // The name is not used by the rescan, the serial type is.
    EXPECT_THAT(recorder->reports,
                ElementsAre(Report{
                    "multipleAdded", {"usbserial-QRB1", "usbserial-QRB2", "usbserial-QRB3"}, {}}));
    EXPECT_EQ(source->liveHandles(), 2u);

    // Also when not registered, and without leaving handles behind.
    notifier->unregisterForNotifications();
    recorder->reports.clear();
    notifier->resendAllAddedNotifications();
    EXPECT_EQ(recorder->reports.size(), 1u);
    EXPECT_EQ(source->liveHandles(), 0u);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(DeviceTest, ResendWithoutAClassReportsNothing) {
    PropertyDictionary named = serialDevice("usbserial-QRB1");
    named["IONameMatch"] = std::string("ttyUSB0");
    source->addDevice(named);
    auto notifier = Notifier::notifierForDevicesNamed("ttyUSB0", std::nullopt, recorder,
                                                      kMultipleAdded, kMultipleRemoved);
    ASSERT_NE(notifier, nullptr);
    recorder->reports.clear();
    notifier->resendAllAddedNotifications();
    EXPECT_THAT(recorder->reports, IsEmpty());
    EXPECT_THAT(log.lines(), ElementsAre("IOServiceMatching failed"));
}

TEST_F(DeviceTest, RegistrationFailuresAreLoggedAndLeaveNothingBehind) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    struct Case {
        MemoryDeviceSource::Failures failures;
        DeviceReturn code;
        const char* line;
    };
    MemoryDeviceSource::Failures port, added, removed;
    port.portCreate = true;
    added.firstMatchRefused = true;
    added.refusalCode = 0xE00002C7;
    removed.terminateRefused = true;
    removed.refusalCode = 0xE00002C2;
    for (const Case& c : {Case{port, kDeviceReturnError, "failed to create notification port"},
                          Case{added, 0xE00002C7, "failed to add device added notification"},
                          Case{removed, 0xE00002C2, "failed to add device removed notification"}}) {
        SCOPED_TRACE(c.line);
        testing_support::LogCapture lines;
        source->setFailures(c.failures);
        Notifier notifier(std::nullopt, "IOSerialBSDClient", recorder, nullptr, kMultipleAdded,
                          nullptr, kMultipleRemoved);
        EXPECT_EQ(notifier.registerForNotifications(), c.code);
        EXPECT_FALSE(notifier.isRegisteredForNotifications());
        EXPECT_THAT(lines.lines(), ElementsAre(c.line));
        EXPECT_EQ(source->livePorts(), 0u);
        EXPECT_EQ(source->liveHandles(), 0u);
        EXPECT_EQ(loop.sourceCount(), 0u);
        EXPECT_EQ(batchNotifier(), nullptr);
    }
    EXPECT_THAT(recorder->reports, IsEmpty());

    // A thread without a run loop could never be told of events.
    source->setFailures({});
    RunLoop::setCurrent(nullptr);
    EXPECT_EQ(batchNotifier(), nullptr);
    RunLoop::setCurrent(&loop);
    EXPECT_EQ(source->livePorts(), 0u);
    EXPECT_THAT(log.lines().back(), "failed to create notification port");
}

TEST_F(DeviceTest, ResendFailuresAreLoggedAndReportNothing) {
    source->addDevice(serialDevice("usbserial-QRB1"));
    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);
    recorder->reports.clear();
    MemoryDeviceSource::Failures master, matching, query;
    master.masterPort = true;
    matching.serviceMatching = true;
    query.matchingServices = true;
    for (const auto& failures : {master, matching, query}) {
        source->setFailures(failures);
        notifier->resendAllAddedNotifications();
    }
    EXPECT_THAT(log.lines(), ElementsAre("IOMasterPort failed", "IOServiceMatching failed",
                                         "IOServiceGetMatchingServices failed"));
    EXPECT_THAT(recorder->reports, IsEmpty());
    EXPECT_EQ(source->liveHandles(), 2u);
}

TEST_F(DeviceTest, UnreadableDevicesAreSkippedSilently) {
    auto broken = source->addDevice(serialDevice("usbserial-QRB1"));
    source->addDevice(serialDevice("usbserial-QRB2"));
    MemoryDeviceSource::Failures failures;
    failures.unreadable = {broken};
    source->setFailures(failures);
    auto notifier = singleNotifier();
    ASSERT_NE(notifier, nullptr);
    EXPECT_THAT(recorder->reports, ElementsAre(Report{"added", {"usbserial-QRB2"}, {}}));
    EXPECT_EQ(source->liveHandles(), 2u);
    EXPECT_THAT(log.lines(), IsEmpty());
}

TEST_F(DeviceTest, ACallbackMayDropOrInvalidateTheNotifier) {
    auto notifier = singleNotifier();
    ASSERT_NE(notifier, nullptr);
    source->addDevice(serialDevice("usbserial-QRB1"));
    source->addDevice(serialDevice("usbserial-QRB2"));
    recorder->onReport = [&] { notifier.reset(); };
    runLoop();
    // The notifier outlives the report that dropped it, then lets everything go.
    EXPECT_EQ(recorder->reports.size(), 2u);
    EXPECT_EQ(source->livePorts(), 0u);
    EXPECT_EQ(source->liveHandles(), 0u);
    EXPECT_EQ(loop.sourceCount(), 0u);

    recorder->onReport = nullptr;
    notifier = singleNotifier();
    ASSERT_NE(notifier, nullptr);
    recorder->reports.clear();
    recorder->onReport = [&] { notifier->invalidate(); };
    source->addDevice(serialDevice("usbserial-QRB3"));
    source->addDevice(serialDevice("usbserial-QRB4"));
    runLoop();
    EXPECT_THAT(recorder->reports, ElementsAre(Report{"added", {"usbserial-QRB3"}, {}}));
    EXPECT_EQ(source->liveHandles(), 0u);
    EXPECT_EQ(loop.sourceCount(), 0u);
}

} // namespace
