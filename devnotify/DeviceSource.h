#pragma once

#include "PropertyDictionary.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The device registry as the notifier sees it: notification ports with an
// event source for a thread's run loop, first-match and terminate
// subscriptions with iterators, property snapshots and one-time queries.
// Behind it sits the platform's own device facility (udev on Linux) or, in
// tests, an in-memory registry.

// Return codes of registry operations: 0 is success.
using DeviceReturn = std::uint32_t;
constexpr DeviceReturn kDeviceReturnSuccess = 0;
constexpr DeviceReturn kDeviceReturnError = 0xE00002BC; // general error

// Handles of registry objects (devices and iterators); 0 is none. Every
// handle that an operation hands out is released with objectRelease. Handles
// are not reused: on an unknown or released handle, iteratorNext gives 0 and
// the other operations give an error.
using ObjectHandle = std::uint32_t;
// A notification port; 0 is none. Destroyed with notificationPortDestroy.
using NotificationPort = std::uint32_t;
// The registry's master port; kDefaultMasterPort stands for the default one.
using MasterPort = std::uint32_t;
constexpr MasterPort kDefaultMasterPort = 0;

// Notification types for addMatchingNotification.
inline constexpr const char* kFirstMatchNotification = "IOServiceFirstMatch";
inline constexpr const char* kTerminateNotification = "IOServiceTerminate";

// Property keys of matching dictionaries.
inline constexpr const char* kProviderClassKey = "IOProviderClass";
inline constexpr const char* kNameMatchKey = "IONameMatch";

// A subscription's callback: the context given at subscription, then the
// subscription's iterator, which holds the new events.
using MatchingCallback = void (*)(void* context, ObjectHandle iterator);

// What a run loop watches for a notification port: fd becomes readable while
// events are pending, and dispatch (called on the loop's thread) consumes
// them and calls the subscriptions' callbacks. Add it to the loop with
// RunLoop::addSource; remove it before the port is destroyed.
struct DeviceEventSource {
    int fd = -1;
    std::function<void()> dispatch;
};

class DeviceSource {
  public:
    virtual ~DeviceSource() = default;

    // A new notification port, or 0 on failure.
    virtual NotificationPort notificationPortCreate(MasterPort master) = 0;
    // The port's event source; fd is -1 for an unknown port.
    virtual DeviceEventSource notificationPortEventSource(NotificationPort port) = 0;
    // The port and its subscriptions are gone: no callback is made for them any
    // more. Their iterators stay valid handles until released.
    virtual void notificationPortDestroy(NotificationPort port) = 0;

    // Subscribes to devices matching `matching` (see matches()) on port. type
    // is kFirstMatchNotification (arrivals) or kTerminateNotification
    // (removals). On success stores the subscription's iterator: for first
    // match it already holds every matching device present now, and later each
    // batch of new events. The callback is called (from the port's event
    // source) only when the iterator holds events and has been drained to its
    // end (iteratorNext returned 0) since the last call. Releasing the
    // iterator ends the subscription.
    //
    // The events of one port reach its subscriptions in the order they
    // happened: a run of arrivals or removals is one call of each
    // subscription concerned, and the calls of one run are made before the
    // next run reaches the iterators. So a device that goes and comes back
    // before the loop runs is reported as removed, then as arrived.
    virtual DeviceReturn addMatchingNotification(NotificationPort port, const std::string& type,
                                                 PropertyDictionary matching,
                                                 MatchingCallback callback, void* context,
                                                 ObjectHandle& iterator) = 0;

    // The next device of the iterator as a new handle, or 0 when exhausted.
    virtual ObjectHandle iteratorNext(ObjectHandle iterator) = 0;

    // A snapshot of all the device's properties. A device that has gone
    // still gives the properties it had on arrival.
    virtual DeviceReturn createProperties(ObjectHandle device, PropertyDictionary& properties) = 0;

    // Releases a device or iterator handle.
    virtual DeviceReturn objectRelease(ObjectHandle object) = 0;

    // The master port for one-time queries.
    virtual DeviceReturn masterPort(MasterPort& master) = 0;

    // A matching dictionary for the devices of class deviceClass
    // (kProviderClassKey set to it), or none.
    virtual std::optional<PropertyDictionary> serviceMatching(const std::string& deviceClass) = 0;

    // An iterator over every device matching `matching` that is present now.
    virtual DeviceReturn getMatchingServices(MasterPort master, PropertyDictionary matching,
                                             ObjectHandle& iterator) = 0;

    // The matching rule of every source: a device matches when each key of
    // the matching dictionary is among its properties with an equal value
    // (so "IOProviderClass" is compared with the device's class property and
    // "IONameMatch" with its name property). An empty dictionary matches all.
    static bool matches(const PropertyDictionary& matching, const PropertyDictionary& properties);
};

// The process-wide device source that notifiers use (nullptr until set): the
// program sets the platform's, tests set an in-memory one.
std::shared_ptr<DeviceSource> defaultDeviceSource();
void setDefaultDeviceSource(std::shared_ptr<DeviceSource> source);
