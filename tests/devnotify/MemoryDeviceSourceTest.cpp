#include "DeviceTestSupport.h"

#include <gmock/gmock.h>

using namespace devnotify_tests;

namespace {

int callbacks = 0;
void countCallback(void* /*context*/, ObjectHandle /*iterator*/) {
    ++callbacks;
}

ObjectHandle drain(DeviceSource& source, ObjectHandle iterator) {
    int count = 0;
    while (ObjectHandle device = source.iteratorNext(iterator)) {
        source.objectRelease(device);
        ++count;
    }
    return static_cast<ObjectHandle>(count);
}

// The subscription contract the notifier relies on, checked directly.
TEST_F(DeviceTest, SubscriptionFiresOnlyAfterItsIteratorWasDrained) {
    MemoryDeviceSource& registry = *source;
    registry.addDevice(serialDevice("a"));
    NotificationPort port = registry.notificationPortCreate(kDefaultMasterPort);
    ASSERT_NE(port, 0u);
    DeviceEventSource events = registry.notificationPortEventSource(port);
    loop.addSource(events.fd, events.dispatch);
    callbacks = 0;
    ObjectHandle iterator = 0;
    ASSERT_EQ(registry.addMatchingNotification(port, kFirstMatchNotification, {}, countCallback,
                                               nullptr, iterator),
              kDeviceReturnSuccess);
    EXPECT_EQ(registry.addMatchingNotification(port, "IOServicePublish", {}, countCallback, nullptr,
                                               iterator),
              kDeviceReturnError);

    registry.addDevice(serialDevice("b"));
    runLoop();
    EXPECT_EQ(callbacks, 0); // not armed yet
    EXPECT_EQ(drain(registry, iterator), 2u);

    registry.addDevice(serialDevice("c"));
    registry.addDevice(serialDevice("d"));
    runLoop();
    EXPECT_EQ(callbacks, 1);
    runLoop();
    EXPECT_EQ(callbacks, 1); // not drained since
    registry.addDevice(serialDevice("e"));
    runLoop();
    EXPECT_EQ(callbacks, 1);
    EXPECT_EQ(drain(registry, iterator), 3u);

    registry.objectRelease(iterator);
    registry.notificationPortDestroy(port);
    EXPECT_EQ(registry.liveHandles(), 0u);
    EXPECT_EQ(registry.livePorts(), 0u);
    EXPECT_EQ(registry.iteratorNext(iterator), 0u);
    EXPECT_EQ(registry.objectRelease(iterator), kDeviceReturnError);
}

// A subscription that notes each call with the devices its iterator held,
// or, when it does not drain, only that it was called.
struct Noting {
    MemoryDeviceSource* source;
    std::string kind;
    std::vector<std::string>* calls;
    bool drains = true;
};

void noteCall(void* context, ObjectHandle iterator) {
    auto* noting = static_cast<Noting*>(context);
    std::string call = noting->kind;
    while (noting->drains) {
        ObjectHandle device = noting->source->iteratorNext(iterator);
        if (device == 0) {
            break;
        }
        PropertyDictionary properties;
        noting->source->createProperties(device, properties);
        call += " " + *stringProperty(properties, "IOTTYBaseName");
        noting->source->objectRelease(device);
    }
    noting->calls->push_back(call);
}

TEST_F(DeviceTest, EventsOfOnePassReachTheSubscriptionsInTheOrderTheyHappened) {
    MemoryDeviceSource& registry = *source;
    MemoryDeviceSource::DeviceId board = registry.addDevice(serialDevice("a"));
    NotificationPort port = registry.notificationPortCreate(kDefaultMasterPort);
    DeviceEventSource events = registry.notificationPortEventSource(port);
    loop.addSource(events.fd, events.dispatch);
    std::vector<std::string> calls;
    Noting added{&registry, "added", &calls};
    Noting removed{&registry, "removed", &calls};
    ObjectHandle addedIterator = 0;
    ObjectHandle removedIterator = 0;
    ASSERT_EQ(registry.addMatchingNotification(port, kFirstMatchNotification, {}, noteCall, &added,
                                               addedIterator),
              kDeviceReturnSuccess);
    ASSERT_EQ(registry.addMatchingNotification(port, kTerminateNotification, {}, noteCall, &removed,
                                               removedIterator),
              kDeviceReturnSuccess);
    EXPECT_EQ(drain(registry, addedIterator), 1u);
    EXPECT_EQ(drain(registry, removedIterator), 0u);

    // A replug and a short visit, all before the loop runs: each run of one
    // kind is one call, and the runs come in order.
    registry.removeDevice(board);
    board = registry.addDevice(serialDevice("a"));
    MemoryDeviceSource::DeviceId visitor = registry.addDevice(serialDevice("b"));
    registry.removeDevice(visitor);
    runLoop();
    EXPECT_THAT(calls, ::testing::ElementsAre("removed a", "added a b", "removed b"));

    // A subscription that was not drained is not called again; it gathers
    // the later removals behind the earlier ones.
    calls.clear();
    removed.drains = false;
    registry.removeDevice(board);
    visitor = registry.addDevice(serialDevice("c"));
    registry.removeDevice(visitor);
    runLoop();
    EXPECT_THAT(calls, ::testing::ElementsAre("removed", "added c"));
    EXPECT_EQ(drain(registry, removedIterator), 2u);

    registry.objectRelease(addedIterator);
    registry.objectRelease(removedIterator);
    registry.notificationPortDestroy(port);
    EXPECT_EQ(registry.liveHandles(), 0u);
}

// The notifier over it: a board unplugged and plugged in again before the
// loop runs is reported as gone, then back, never the other way round.
TEST_F(DeviceTest, AReplugInOnePassIsReportedAsRemovalThenArrival) {
    MemoryDeviceSource::DeviceId board = source->addDevice(serialDevice("usbserial-QRB1"));
    auto notifier = batchNotifier();
    ASSERT_NE(notifier, nullptr);
    recorder->reports.clear();

    source->removeDevice(board);
    source->addDevice(serialDevice("usbserial-QRB1"));
    runLoop();
    EXPECT_THAT(recorder->reports,
                ::testing::ElementsAre(Report{"multipleRemoved", {"usbserial-QRB1"}, {}},
                                       Report{"multipleAdded", {"usbserial-QRB1"}, {}}));
}

TEST(PropertyDictionaryTest, StringPropertyOnlyReturnsStrings) {
    PropertyDictionary properties = serialDevice("usbserial-QRB1");
    ASSERT_NE(stringProperty(properties, "IOTTYBaseName"), nullptr);
    EXPECT_EQ(*stringProperty(properties, "IOTTYBaseName"), "usbserial-QRB1");
    EXPECT_EQ(stringProperty(properties, "IOTTYDevice"), nullptr);
    EXPECT_EQ(stringProperty(properties, "IOMissing"), nullptr);
}

} // namespace
