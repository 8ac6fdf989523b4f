#include "MemoryDeviceSource.h"

#include <utility>

using Event = SubscriptionRegistry::Event;

MemoryDeviceSource::MemoryDeviceSource() = default;

MemoryDeviceSource::~MemoryDeviceSource() = default;

MemoryDeviceSource::DeviceId MemoryDeviceSource::addDevice(PropertyDictionary properties) {
    std::lock_guard<std::mutex> lock(mutex_);
    DeviceId id = nextDevice_++;
    auto device = std::make_shared<const SubscriptionRegistry::Device>(
        SubscriptionRegistry::Device{id, std::move(properties)});
    devices_.emplace(id, device);
    registry().postToAll(Event::Arrival, device);
    return id;
}

bool MemoryDeviceSource::removeDevice(DeviceId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto entry = devices_.find(id);
    if (entry == devices_.end()) {
        return false;
    }
    DevicePtr device = entry->second;
    devices_.erase(entry);
    registry().postToAll(Event::Removal, device);
    return true;
}

void MemoryDeviceSource::setFailures(Failures failures) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_ = std::move(failures);
}

MemoryDeviceSource::Failures MemoryDeviceSource::failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_;
}

std::size_t MemoryDeviceSource::liveHandles() const {
    return registry().handleCount();
}

std::size_t MemoryDeviceSource::livePorts() const {
    return registry().portCount();
}

std::size_t MemoryDeviceSource::deviceCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return devices_.size();
}

std::vector<MemoryDeviceSource::DevicePtr> MemoryDeviceSource::present() const {
    std::vector<DevicePtr> devices;
    for (const auto& [id, device] : devices_) {
        devices.push_back(device);
    }
    return devices;
}

NotificationPort MemoryDeviceSource::notificationPortCreate(MasterPort /*master*/) {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_.portCreate ? 0 : registry().createPort();
}

DeviceReturn MemoryDeviceSource::addMatchingNotification(NotificationPort port,
                                                         const std::string& type,
                                                         PropertyDictionary matching,
                                                         MatchingCallback callback, void* context,
                                                         ObjectHandle& iterator) {
    // Under the lock, so that no device comes or goes between the devices
    // present and the subscription.
    std::lock_guard<std::mutex> lock(mutex_);
    std::optional<Event> event = SubscriptionRegistry::eventOf(type);
    if (!event || !registry().hasPort(port) || callback == nullptr) {
        return kDeviceReturnError;
    }
    if (*event == Event::Removal ? failures_.terminateRefused : failures_.firstMatchRefused) {
        return failures_.refusalCode;
    }
    return registry().subscribe(port, *event, std::move(matching), callback, context,
                                *event == Event::Arrival ? present() : std::vector<DevicePtr>{},
                                iterator);
}

bool MemoryDeviceSource::propertiesReadable(const SubscriptionRegistry::Device& device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failures_.unreadable.count(device.id) == 0;
}

DeviceReturn MemoryDeviceSource::masterPort(MasterPort& master) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.masterPort) {
        return kDeviceReturnError;
    }
    master = kDefaultMasterPort;
    return kDeviceReturnSuccess;
}

std::optional<PropertyDictionary>
MemoryDeviceSource::serviceMatching(const std::string& deviceClass) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.serviceMatching) {
        return std::nullopt;
    }
    return PropertyDictionary{{kProviderClassKey, deviceClass}};
}

DeviceReturn MemoryDeviceSource::getMatchingServices(MasterPort /*master*/,
                                                     PropertyDictionary matching,
                                                     ObjectHandle& iterator) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failures_.matchingServices) {
        return kDeviceReturnError;
    }
    iterator = registry().query(present(), matching);
    return kDeviceReturnSuccess;
}
