#pragma once

#include "SubscriptionRegistry.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// An in-process device registry. Devices are added and removed from any
// thread; subscribers learn of them only through their port's event source,
// on the run loop of the thread that added it. Each registry operation can be
// made to fail, and the live handles and ports can be counted, so that a
// caller's failure handling and release discipline can be checked.
class MemoryDeviceSource : public SubscribingDeviceSource {
  public:
    using DeviceId = std::uint64_t;

    MemoryDeviceSource();
    ~MemoryDeviceSource() override;
    MemoryDeviceSource(const MemoryDeviceSource&) = delete;
    MemoryDeviceSource& operator=(const MemoryDeviceSource&) = delete;

    // Attaches a device with these properties; arrival subscriptions that
    // match it receive it. Returns an id for removeDevice.
    DeviceId addDevice(PropertyDictionary properties);
    // Detaches the device; removal subscriptions that matched it on arrival
    // receive it, with its arrival properties. False for an unknown id.
    bool removeDevice(DeviceId id);

    // Failure switches, all off at first.
    struct Failures {
        bool portCreate = false;        // notificationPortCreate gives none
        bool firstMatchRefused = false; // kFirstMatchNotification subscriptions
        bool terminateRefused = false;  // kTerminateNotification subscriptions
        DeviceReturn refusalCode = kDeviceReturnError;
        bool masterPort = false;       // masterPort fails
        bool serviceMatching = false;  // serviceMatching gives none
        bool matchingServices = false; // getMatchingServices fails
        std::set<DeviceId> unreadable; // createProperties fails for these
    };
    void setFailures(Failures failures);
    Failures failures() const;

    // Handles (devices and iterators) handed out and not yet released.
    std::size_t liveHandles() const;
    // Notification ports created and not yet destroyed.
    std::size_t livePorts() const;
    // Devices attached now.
    std::size_t deviceCount() const;

    NotificationPort notificationPortCreate(MasterPort master) override;
    DeviceReturn addMatchingNotification(NotificationPort port, const std::string& type,
                                         PropertyDictionary matching, MatchingCallback callback,
                                         void* context, ObjectHandle& iterator) override;
    DeviceReturn masterPort(MasterPort& master) override;
    std::optional<PropertyDictionary> serviceMatching(const std::string& deviceClass) override;
    DeviceReturn getMatchingServices(MasterPort master, PropertyDictionary matching,
                                     ObjectHandle& iterator) override;

  protected:
    bool propertiesReadable(const SubscriptionRegistry::Device& device) const override;

  private:
    using DevicePtr = SubscriptionRegistry::DevicePtr;
    std::vector<DevicePtr> present() const; // with the lock held

    mutable std::mutex mutex_;
    Failures failures_;
    DeviceId nextDevice_ = 1;
    std::map<DeviceId, DevicePtr> devices_;
};
