#pragma once

#include "DeviceSource.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The part of a device registry that does not depend on where devices come
// from: notification ports with their run-loop event source, arrival and
// removal subscriptions, the iterators that hold a subscription's devices or
// a one-time query's, device handles, and their release. A source tells the
// registry which devices arrive and go (post); the registry hands each event
// to the matching subscriptions of the port and calls their callbacks from
// the port's event source, outside its lock.
//
// All operations may be called from any thread and from within callbacks.
// Hold it by a shared_ptr: event sources refer to it weakly, so that one
// kept past the registry's end does nothing.
class SubscriptionRegistry : public std::enable_shared_from_this<SubscriptionRegistry> {
  public:
    // A device as its handles and iterators carry it.
    struct Device {
        std::uint64_t id = 0;          // the source's own name for it, if it keeps one
        PropertyDictionary properties; // as on arrival
    };
    using DevicePtr = std::shared_ptr<const Device>;

    enum class Event { Arrival, Removal };
    // The events that a notification type subscribes to; none for a type
    // other than kFirstMatchNotification and kTerminateNotification.
    static std::optional<Event> eventOf(const std::string& type);

    SubscriptionRegistry();
    ~SubscriptionRegistry();
    SubscriptionRegistry(const SubscriptionRegistry&) = delete;
    SubscriptionRegistry& operator=(const SubscriptionRegistry&) = delete;

    // Called at the start of each dispatch of the port, outside the
    // registry's lock, to post the events the source has for it.
    using Collector = std::function<void(NotificationPort)>;

    // A new port, or 0 when its descriptors cannot be made. Its event source
    // is readable while events are queued for it, and also while `wakeFd`
    // (when not -1) is readable; `collect` then takes what woke it.
    NotificationPort createPort(int wakeFd = -1, Collector collect = {});
    bool hasPort(NotificationPort port) const;
    // The port's event source for a run loop; fd is -1 for an unknown port.
    DeviceEventSource eventSource(NotificationPort port);
    // The port goes with its queued events; its subscriptions are never
    // called again, but their iterators stay handles until released.
    void destroyPort(NotificationPort port);
    std::size_t portCount() const;

    // Subscribes to the port's events of one kind for devices that match
    // `matching`; the iterator starts with those of `present` that match.
    // An error for an unknown port or no callback.
    DeviceReturn subscribe(NotificationPort port, Event event, PropertyDictionary matching,
                           MatchingCallback callback, void* context,
                           const std::vector<DevicePtr>& present, ObjectHandle& iterator);
    // A one-time iterator over those of `devices` that match `matching`.
    ObjectHandle query(const std::vector<DevicePtr>& devices, const PropertyDictionary& matching);

    // The next device of an iterator as a new handle, or 0 when exhausted.
    ObjectHandle iteratorNext(ObjectHandle iterator);
    // The device behind a device handle, or none.
    DevicePtr deviceOf(ObjectHandle handle) const;
    DeviceReturn release(ObjectHandle handle);
    std::size_t handleCount() const;

    // An arrival or removal for the port's subscriptions (post) or for every
    // port's (postToAll). The subscriptions that exist now and match the
    // device receive it when the port's event source next runs; each port
    // delivers its events in the order posted.
    void post(NotificationPort port, Event event, const DevicePtr& device);
    void postToAll(Event event, const DevicePtr& device);

    // Delivers the port's events: the work of its event source. The events
    // go in runs of one kind, each run into the iterators of its
    // subscriptions; a subscription is called once for its run if its
    // iterator has been drained since its last call, and every call of one
    // run is made before the next run is delivered.
    void dispatch(NotificationPort port);

  private:
    struct Iterator;
    struct Object;
    struct Port;
    struct State;

    struct Call {
        ObjectHandle iterator;
        MatchingCallback callback;
        void* context;
    };

    void wake(const Port& port);
    void postLocked(NotificationPort id, Port& port, Event event, const DevicePtr& device);
    // Delivers the leading run of queued events of one kind (at most budget
    // of them) and gives the calls that are due.
    void takeRun(NotificationPort id, Port& port, std::size_t& budget, std::vector<Call>& calls);

    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

// A device source whose ports, subscriptions, iterators and handles are kept
// by a SubscriptionRegistry. What is left to the source: making ports (and
// what wakes them), admitting subscriptions with the devices present, the
// one-time queries, and whether a device's properties can be read.
class SubscribingDeviceSource : public DeviceSource {
  public:
    DeviceEventSource notificationPortEventSource(NotificationPort port) override;
    void notificationPortDestroy(NotificationPort port) override;
    ObjectHandle iteratorNext(ObjectHandle iterator) override;
    DeviceReturn createProperties(ObjectHandle device, PropertyDictionary& properties) override;
    DeviceReturn objectRelease(ObjectHandle object) override;

  protected:
    SubscribingDeviceSource();

    // Whether the device's properties can be read now; true unless the
    // source says otherwise.
    virtual bool propertiesReadable(const SubscriptionRegistry::Device& device) const;
    // After the registry has let go of the port: the source's own part of it.
    virtual void portDestroyed(NotificationPort port);

    SubscriptionRegistry& registry() const { return *registry_; }
    const std::shared_ptr<SubscriptionRegistry>& sharedRegistry() const { return registry_; }

  private:
    std::shared_ptr<SubscriptionRegistry> registry_;
};
