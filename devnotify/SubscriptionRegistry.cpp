#include "SubscriptionRegistry.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <map>
#include <set>
#include <utility>

// An iterator; one made by a subscription carries the subscription too.
struct SubscriptionRegistry::Iterator {
    std::deque<DevicePtr> pending;
    bool subscribed = false;
    NotificationPort port = 0; // 0 once the port is destroyed
    Event event = Event::Arrival;
    PropertyDictionary matching;
    MatchingCallback callback = nullptr;
    void* context = nullptr;
    bool armed = false; // drained to its end since the last callback
};

struct SubscriptionRegistry::Object {
    DevicePtr device;                   // a device handle, or
    std::shared_ptr<Iterator> iterator; // an iterator handle
};

// A port's own descriptor is an eventfd, written when events are posted to
// it. A port that the source also wakes through a descriptor of its own
// shows the two through one epoll descriptor, readable while either is.
//
// Events wait in the port's queue, each with the subscriptions that matched
// it when it was posted, until the port's event source delivers them.
struct SubscriptionRegistry::Port {
    struct Queued {
        DevicePtr device;
        Event event;
        std::vector<ObjectHandle> subscriptions;
    };

    int eventFd = -1;
    int pollFd = -1;
    Collector collect;
    std::deque<Queued> queue;

    int fd() const { return pollFd >= 0 ? pollFd : eventFd; }
    void close() {
        if (pollFd >= 0) {
            ::close(pollFd);
        }
        ::close(eventFd);
    }
};

struct SubscriptionRegistry::State {
    ObjectHandle nextHandle = 1;
    NotificationPort nextPort = 1;
    std::map<ObjectHandle, Object> objects;
    std::map<NotificationPort, Port> ports;

    ObjectHandle newHandle(Object object) {
        ObjectHandle handle = nextHandle++;
        objects.emplace(handle, std::move(object));
        return handle;
    }

    Iterator* iteratorFor(ObjectHandle handle) {
        auto object = objects.find(handle);
        return object == objects.end() ? nullptr : object->second.iterator.get();
    }

    Port* portFor(NotificationPort port) {
        auto entry = ports.find(port);
        return entry == ports.end() ? nullptr : &entry->second;
    }
};

std::optional<SubscriptionRegistry::Event> SubscriptionRegistry::eventOf(const std::string& type) {
    if (type == kFirstMatchNotification) {
        return Event::Arrival;
    }
    if (type == kTerminateNotification) {
        return Event::Removal;
    }
    return std::nullopt;
}

SubscriptionRegistry::SubscriptionRegistry() : state_(std::make_unique<State>()) {}

SubscriptionRegistry::~SubscriptionRegistry() {
    for (auto& [id, port] : state_->ports) {
        port.close();
    }
}

NotificationPort SubscriptionRegistry::createPort(int wakeFd, Collector collect) {
    Port port;
    port.collect = std::move(collect);
    port.eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (port.eventFd < 0) {
        return 0;
    }
    if (wakeFd >= 0) {
        port.pollFd = ::epoll_create1(EPOLL_CLOEXEC);
        epoll_event own{};
        own.events = EPOLLIN;
        epoll_event source{};
        source.events = EPOLLIN;
        if (port.pollFd < 0 || ::epoll_ctl(port.pollFd, EPOLL_CTL_ADD, port.eventFd, &own) < 0 ||
            ::epoll_ctl(port.pollFd, EPOLL_CTL_ADD, wakeFd, &source) < 0) {
            port.close();
            return 0;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    NotificationPort id = state_->nextPort++;
    state_->ports.emplace(id, std::move(port));
    return id;
}

bool SubscriptionRegistry::hasPort(NotificationPort port) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->ports.count(port) != 0;
}

DeviceEventSource SubscriptionRegistry::eventSource(NotificationPort port) {
    std::lock_guard<std::mutex> lock(mutex_);
    Port* entry = state_->portFor(port);
    if (entry == nullptr) {
        return {};
    }
    std::weak_ptr<SubscriptionRegistry> weak = weak_from_this();
    return {entry->fd(), [weak, port] {
                if (std::shared_ptr<SubscriptionRegistry> registry = weak.lock()) {
                    registry->dispatch(port);
                }
            }};
}

void SubscriptionRegistry::destroyPort(NotificationPort port) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = state_->ports.find(port);
    if (entry == state_->ports.end()) {
        return;
    }
    entry->second.close();
    state_->ports.erase(entry);
    for (auto& [handle, object] : state_->objects) {
        if (object.iterator && object.iterator->port == port) {
            object.iterator->port = 0;
        }
    }
}

std::size_t SubscriptionRegistry::portCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->ports.size();
}

DeviceReturn SubscriptionRegistry::subscribe(NotificationPort port, Event event,
                                             PropertyDictionary matching, MatchingCallback callback,
                                             void* context, const std::vector<DevicePtr>& present,
                                             ObjectHandle& iterator) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_->portFor(port) == nullptr || callback == nullptr) {
        return kDeviceReturnError;
    }
    auto subscription = std::make_shared<Iterator>();
    subscription->subscribed = true;
    subscription->port = port;
    subscription->event = event;
    subscription->matching = std::move(matching);
    subscription->callback = callback;
    subscription->context = context;
    for (const DevicePtr& device : present) {
        if (DeviceSource::matches(subscription->matching, device->properties)) {
            subscription->pending.push_back(device);
        }
    }
    iterator = state_->newHandle({nullptr, std::move(subscription)});
    return kDeviceReturnSuccess;
}

ObjectHandle SubscriptionRegistry::query(const std::vector<DevicePtr>& devices,
                                         const PropertyDictionary& matching) {
    auto query = std::make_shared<Iterator>();
    for (const DevicePtr& device : devices) {
        if (DeviceSource::matches(matching, device->properties)) {
            query->pending.push_back(device);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->newHandle({nullptr, std::move(query)});
}

ObjectHandle SubscriptionRegistry::iteratorNext(ObjectHandle iterator) {
    std::lock_guard<std::mutex> lock(mutex_);
    Iterator* entry = state_->iteratorFor(iterator);
    if (entry == nullptr) {
        return 0;
    }
    if (entry->pending.empty()) {
        entry->armed = true;
        return 0;
    }
    DevicePtr device = std::move(entry->pending.front());
    entry->pending.pop_front();
    return state_->newHandle({std::move(device), nullptr});
}

SubscriptionRegistry::DevicePtr SubscriptionRegistry::deviceOf(ObjectHandle handle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto object = state_->objects.find(handle);
    return object == state_->objects.end() ? nullptr : object->second.device;
}

DeviceReturn SubscriptionRegistry::release(ObjectHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->objects.erase(handle) == 1 ? kDeviceReturnSuccess : kDeviceReturnError;
}

std::size_t SubscriptionRegistry::handleCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_->objects.size();
}

void SubscriptionRegistry::wake(const Port& port) {
    std::uint64_t one = 1;
    // The counter cannot overflow in practice; a full counter is readable anyway.
    [[maybe_unused]] ssize_t written = ::write(port.eventFd, &one, sizeof one);
}

void SubscriptionRegistry::post(NotificationPort port, Event event, const DevicePtr& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Port* entry = state_->portFor(port)) {
        postLocked(port, *entry, event, device);
    }
}

void SubscriptionRegistry::postToAll(Event event, const DevicePtr& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, port] : state_->ports) {
        postLocked(id, port, event, device);
    }
}

void SubscriptionRegistry::postLocked(NotificationPort id, Port& port, Event event,
                                      const DevicePtr& device) {
    std::vector<ObjectHandle> subscriptions;
    for (const auto& [handle, object] : state_->objects) {
        const Iterator* iterator = object.iterator.get();
        if (iterator != nullptr && iterator->subscribed && iterator->port == id &&
            iterator->event == event &&
            DeviceSource::matches(iterator->matching, device->properties)) {
            subscriptions.push_back(handle);
        }
    }
    if (!subscriptions.empty()) {
        port.queue.push_back({device, event, std::move(subscriptions)});
        wake(port);
    }
}

void SubscriptionRegistry::takeRun(NotificationPort id, Port& port, std::size_t& budget,
                                   std::vector<Call>& calls) {
    const Event event = port.queue.front().event;
    std::set<ObjectHandle> received;
    while (budget > 0 && !port.queue.empty() && port.queue.front().event == event) {
        Port::Queued queued = std::move(port.queue.front());
        port.queue.pop_front();
        --budget;
        for (ObjectHandle handle : queued.subscriptions) {
            Iterator* iterator = state_->iteratorFor(handle);
            if (iterator != nullptr && iterator->port == id) {
                iterator->pending.push_back(queued.device);
                received.insert(handle);
            }
        }
    }
    // A subscription whose iterator has not been drained since its last call
    // just gathers the devices.
    for (ObjectHandle handle : received) {
        Iterator* iterator = state_->iteratorFor(handle);
        if (iterator->armed) {
            iterator->armed = false;
            calls.push_back({handle, iterator->callback, iterator->context});
        }
    }
}

void SubscriptionRegistry::dispatch(NotificationPort port) {
    Collector collect;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Port* entry = state_->portFor(port);
        if (entry == nullptr) {
            return;
        }
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t got = ::read(entry->eventFd, &count, sizeof count);
        collect = entry->collect;
    }
    if (collect) {
        collect(port);
    }

    // One run of events of one kind after the other, each run's callbacks
    // made before the next run is delivered: a removal followed by an
    // arrival reaches the subscriptions in that order. Only the events
    // queued now are delivered; those that the callbacks post wait for the
    // next pass, so that a callback that keeps posting cannot hold the loop.
    std::unique_lock<std::mutex> lock(mutex_);
    Port* entry = state_->portFor(port);
    std::size_t budget = entry != nullptr ? entry->queue.size() : 0;
    while (budget > 0 && entry != nullptr && !entry->queue.empty()) {
        std::vector<Call> calls;
        takeRun(port, *entry, budget, calls);
        lock.unlock();
        for (const Call& call : calls) {
            {
                // An earlier callback may have destroyed the port or released
                // this subscription.
                std::lock_guard<std::mutex> check(mutex_);
                Iterator* iterator = state_->iteratorFor(call.iterator);
                if (iterator == nullptr || iterator->port != port) {
                    continue;
                }
            }
            call.callback(call.context, call.iterator);
        }
        lock.lock();
        entry = state_->portFor(port);
    }
    if (entry != nullptr && !entry->queue.empty()) {
        wake(*entry);
    }
}

// --- SubscribingDeviceSource ----------------------------------------------------------

SubscribingDeviceSource::SubscribingDeviceSource()
    : registry_(std::make_shared<SubscriptionRegistry>()) {}

DeviceEventSource SubscribingDeviceSource::notificationPortEventSource(NotificationPort port) {
    return registry_->eventSource(port);
}

void SubscribingDeviceSource::notificationPortDestroy(NotificationPort port) {
    registry_->destroyPort(port);
    portDestroyed(port);
}

ObjectHandle SubscribingDeviceSource::iteratorNext(ObjectHandle iterator) {
    return registry_->iteratorNext(iterator);
}

DeviceReturn SubscribingDeviceSource::createProperties(ObjectHandle device,
                                                       PropertyDictionary& properties) {
    SubscriptionRegistry::DevicePtr entry = registry_->deviceOf(device);
    if (!entry || !propertiesReadable(*entry)) {
        return kDeviceReturnError;
    }
    properties = entry->properties;
    return kDeviceReturnSuccess;
}

DeviceReturn SubscribingDeviceSource::objectRelease(ObjectHandle object) {
    return registry_->release(object);
}

bool SubscribingDeviceSource::propertiesReadable(const SubscriptionRegistry::Device&) const {
    return true;
}

void SubscribingDeviceSource::portDestroyed(NotificationPort) {}
