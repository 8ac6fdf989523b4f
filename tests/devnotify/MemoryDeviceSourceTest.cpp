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

TEST(PropertyDictionaryTest, StringPropertyOnlyReturnsStrings) {
    PropertyDictionary properties = serialDevice("usbserial-QRB1");
    ASSERT_NE(stringProperty(properties, "IOTTYBaseName"), nullptr);
    EXPECT_EQ(*stringProperty(properties, "IOTTYBaseName"), "usbserial-QRB1");
    EXPECT_EQ(stringProperty(properties, "IOTTYDevice"), nullptr);
    EXPECT_EQ(stringProperty(properties, "IOMissing"), nullptr);
}

} // namespace
