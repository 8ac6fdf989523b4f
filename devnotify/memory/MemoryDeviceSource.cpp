#include "MemoryDeviceSource.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <utility>
#include <vector>

namespace {

struct Device {
    MemoryDeviceSource::DeviceId id;
    PropertyDictionary properties; // as on arrival
};

// An iterator; one made by a subscription carries the subscription too.
struct Iterator {
    std::deque<std::shared_ptr<const Device>> pending;
    bool subscribed = false;
    NotificationPort port = 0; // 0 once the port is destroyed
    bool terminate = false;
    PropertyDictionary matching;
    MatchingCallback callback = nullptr;
    void* context = nullptr;
    bool armed = false; // drained to its end since the last callback
};

struct Object {
    std::shared_ptr<const Device> device; // a device handle, or
    std::shared_ptr<Iterator> iterator;   // an iterator handle
};

} // namespace

struct MemoryDeviceSource::State {
    mutable std::mutex mutex;
    Failures failures;
    DeviceId nextDevice = 1;
    ObjectHandle nextHandle = 1;
    NotificationPort nextPort = 1;
    std::map<DeviceId, std::shared_ptr<const Device>> devices;
    std::map<ObjectHandle, Object> objects;
    std::map<NotificationPort, int> ports; // port -> its eventfd

    ObjectHandle newHandle(Object object) {
        ObjectHandle handle = nextHandle++;
        objects.emplace(handle, std::move(object));
        return handle;
    }

    Iterator* iteratorFor(ObjectHandle handle) {
        auto object = objects.find(handle);
        return object == objects.end() ? nullptr : object->second.iterator.get();
    }

    // Hands a device to every live subscription of the given kind that
    // matches it, and wakes their ports.
    void deliver(const std::shared_ptr<const Device>& device, bool terminate) {
        for (auto& [handle, object] : objects) {
            Iterator* iterator = object.iterator.get();
            if (iterator == nullptr || !iterator->subscribed || iterator->port == 0 ||
                iterator->terminate != terminate ||
                !DeviceSource::matches(iterator->matching, device->properties)) {
                continue;
            }
            iterator->pending.push_back(device);
            signal(iterator->port);
        }
    }

    void signal(NotificationPort port) {
        auto entry = ports.find(port);
        if (entry == ports.end()) {
            return;
        }
        std::uint64_t one = 1;
        // The counter cannot overflow in practice; a full counter is readable anyway.
        [[maybe_unused]] ssize_t written = ::write(entry->second, &one, sizeof one);
    }

    // Called by the port's run-loop source on the loop's thread.
    void dispatch(NotificationPort port) {
        struct Call {
            ObjectHandle iterator;
            MatchingCallback callback;
            void* context;
        };
        std::vector<Call> calls;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto entry = ports.find(port);
            if (entry == ports.end()) {
                return;
            }
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t got = ::read(entry->second, &count, sizeof count);
            for (auto& [handle, object] : objects) {
                Iterator* iterator = object.iterator.get();
                if (iterator != nullptr && iterator->port == port && iterator->armed &&
                    !iterator->pending.empty()) {
                    iterator->armed = false;
                    calls.push_back({handle, iterator->callback, iterator->context});
                }
            }
        }
        for (const Call& call : calls) {
            {
                // An earlier callback may have destroyed the port or released
                // this subscription.
                std::lock_guard<std::mutex> lock(mutex);
                Iterator* iterator = iteratorFor(call.iterator);
                if (iterator == nullptr || iterator->port != port) {
                    continue;
                }
            }
            call.callback(call.context, call.iterator);
        }
    }
};

MemoryDeviceSource::MemoryDeviceSource() : state_(std::make_shared<State>()) {}

MemoryDeviceSource::~MemoryDeviceSource() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    for (auto& [port, fd] : state_->ports) {
        ::close(fd);
    }
    state_->ports.clear();
}

MemoryDeviceSource::DeviceId MemoryDeviceSource::addDevice(PropertyDictionary properties) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    DeviceId id = state_->nextDevice++;
    auto device = std::make_shared<const Device>(Device{id, std::move(properties)});
    state_->devices.emplace(id, device);
    state_->deliver(device, false);
    return id;
}

bool MemoryDeviceSource::removeDevice(DeviceId id) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto entry = state_->devices.find(id);
    if (entry == state_->devices.end()) {
        return false;
    }
    std::shared_ptr<const Device> device = entry->second;
    state_->devices.erase(entry);
    state_->deliver(device, true);
    return true;
}

void MemoryDeviceSource::setFailures(Failures failures) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->failures = std::move(failures);
}

MemoryDeviceSource::Failures MemoryDeviceSource::failures() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->failures;
}

std::size_t MemoryDeviceSource::liveHandles() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->objects.size();
}

std::size_t MemoryDeviceSource::livePorts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->ports.size();
}

std::size_t MemoryDeviceSource::deviceCount() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->devices.size();
}

NotificationPort MemoryDeviceSource::notificationPortCreate(MasterPort /*master*/) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failures.portCreate) {
        return 0;
    }
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    NotificationPort port = state_->nextPort++;
    state_->ports.emplace(port, fd);
    return port;
}

DeviceEventSource MemoryDeviceSource::notificationPortEventSource(NotificationPort port) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto entry = state_->ports.find(port);
    if (entry == state_->ports.end()) {
        return {};
    }
    std::weak_ptr<State> weak = state_;
    return {entry->second, [weak, port] {
                if (std::shared_ptr<State> state = weak.lock()) {
                    state->dispatch(port);
                }
            }};
}

void MemoryDeviceSource::notificationPortDestroy(NotificationPort port) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto entry = state_->ports.find(port);
    if (entry == state_->ports.end()) {
        return;
    }
    ::close(entry->second);
    state_->ports.erase(entry);
    for (auto& [handle, object] : state_->objects) {
        if (object.iterator && object.iterator->port == port) {
            object.iterator->port = 0;
        }
    }
}

DeviceReturn MemoryDeviceSource::addMatchingNotification(NotificationPort port,
                                                         const std::string& type,
                                                         PropertyDictionary matching,
                                                         MatchingCallback callback, void* context,
                                                         ObjectHandle& iterator) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    bool terminate = type == kTerminateNotification;
    if (!terminate && type != kFirstMatchNotification) {
        return kDeviceReturnError;
    }
    if (state_->ports.count(port) == 0 || callback == nullptr) {
        return kDeviceReturnError;
    }
    if (terminate ? state_->failures.terminateRefused : state_->failures.firstMatchRefused) {
        return state_->failures.refusalCode;
    }
    auto subscription = std::make_shared<Iterator>();
    subscription->subscribed = true;
    subscription->port = port;
    subscription->terminate = terminate;
    subscription->matching = std::move(matching);
    subscription->callback = callback;
    subscription->context = context;
    if (!terminate) {
        for (const auto& [id, device] : state_->devices) {
            if (matches(subscription->matching, device->properties)) {
                subscription->pending.push_back(device);
            }
        }
    }
    iterator = state_->newHandle({nullptr, std::move(subscription)});
    return kDeviceReturnSuccess;
}

ObjectHandle MemoryDeviceSource::iteratorNext(ObjectHandle iterator) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    Iterator* entry = state_->iteratorFor(iterator);
    if (entry == nullptr) {
        return 0;
    }
    if (entry->pending.empty()) {
        entry->armed = true;
        return 0;
    }
    std::shared_ptr<const Device> device = std::move(entry->pending.front());
    entry->pending.pop_front();
    return state_->newHandle({std::move(device), nullptr});
}

DeviceReturn MemoryDeviceSource::createProperties(ObjectHandle device,
                                                  PropertyDictionary& properties) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto object = state_->objects.find(device);
    if (object == state_->objects.end() || !object->second.device ||
        state_->failures.unreadable.count(object->second.device->id) != 0) {
        return kDeviceReturnError;
    }
    properties = object->second.device->properties;
    return kDeviceReturnSuccess;
}

DeviceReturn MemoryDeviceSource::objectRelease(ObjectHandle object) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->objects.erase(object) == 1 ? kDeviceReturnSuccess : kDeviceReturnError;
}

DeviceReturn MemoryDeviceSource::masterPort(MasterPort& master) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failures.masterPort) {
        return kDeviceReturnError;
    }
    master = kDefaultMasterPort;
    return kDeviceReturnSuccess;
}

std::optional<PropertyDictionary>
MemoryDeviceSource::serviceMatching(const std::string& deviceClass) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failures.serviceMatching) {
        return std::nullopt;
    }
    return PropertyDictionary{{kProviderClassKey, deviceClass}};
}

DeviceReturn MemoryDeviceSource::getMatchingServices(MasterPort /*master*/,
                                                     PropertyDictionary matching,
                                                     ObjectHandle& iterator) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->failures.matchingServices) {
        return kDeviceReturnError;
    }
    auto query = std::make_shared<Iterator>();
    for (const auto& [id, device] : state_->devices) {
        if (matches(matching, device->properties)) {
            query->pending.push_back(device);
        }
    }
    iterator = state_->newHandle({nullptr, std::move(query)});
    return kDeviceReturnSuccess;
}
