#include "UdevDeviceSource.h"

#include <libudev.h>
#include <poll.h>

#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

constexpr const char* kSerialClientClass = "IOSerialBSDClient";
constexpr const char* kBaseNamePrefix = "usbserial-";
constexpr const char* kRS232SerialStream = "IORS232SerialStream";
constexpr const char* kModemSerialStream = "IOModemSerialStream";

// Events taken from a monitor in one dispatch; any more are left for the
// next pass of the run loop, so that a flood cannot hold the loop.
constexpr int kEventsPerDispatch = 64;

// libudev's strings may be freed by the next call on the same device: copy
// each one at once.
std::string text(const char* value) {
    return value != nullptr ? std::string(value) : std::string();
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The driver of the device or of its nearest ancestor that has one: the
// usb-serial port's driver for a USB converter, the interface's (cdc_acm)
// for a modem, the platform driver for an on-board UART.
std::string driverOf(udev_device* device) {
    for (udev_device* node = device; node != nullptr; node = udev_device_get_parent(node)) {
        std::string driver = text(udev_device_get_driver(node));
        if (driver.empty()) {
            driver = text(udev_device_get_property_value(node, "DRIVER"));
        }
        if (!driver.empty()) {
            return driver;
        }
    }
    return {};
}

// The properties of a serial terminal, or none when it has no real device:
// a virtual terminal, a UART slot without a UART, or a node-less device.
std::optional<PropertyDictionary> serialClientProperties(udev_device* tty) {
    const std::string name = text(udev_device_get_sysname(tty));
    const std::string node = text(udev_device_get_devnode(tty));
    const std::string devpath = text(udev_device_get_devpath(tty));
    if (name.empty() || node.empty() || startsWith(devpath, "/devices/virtual/") ||
        udev_device_get_parent(tty) == nullptr) {
        return std::nullopt;
    }
    // The 8250 driver registers a fixed number of ports; those where no UART
    // was found have type 0 (unknown) and cannot be opened.
    if (text(udev_device_get_sysattr_value(tty, "type")) == "0") {
        return std::nullopt;
    }

    std::string serialNumber;
    if (udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device")) {
        serialNumber = text(udev_device_get_sysattr_value(usb, "serial"));
    }
    const bool modem = driverOf(tty) == "cdc_acm" || startsWith(name, "ttyACM");

    PropertyDictionary properties{
        {"IOProviderClass", std::string(kSerialClientClass)},
        {"IOClass", std::string(kSerialClientClass)},
        {"IOCalloutDevice", node},
        {"IOTTYDevice", name},
        {"IONameMatch", name},
        {"IOTTYBaseName", kBaseNamePrefix + (serialNumber.empty() ? name : serialNumber)},
        {"IOSerialBSDClientType", std::string(modem ? kModemSerialStream : kRS232SerialStream)},
    };
    if (!serialNumber.empty()) {
        properties.emplace("USB Serial Number", serialNumber);
    }
    return properties;
}

struct Device {
    std::string syspath;
    PropertyDictionary properties; // as on arrival
};
using DevicePtr = std::shared_ptr<const Device>;

// An iterator; one made by a subscription carries the subscription too.
struct Iterator {
    std::deque<DevicePtr> pending;
    bool subscribed = false;
    NotificationPort port = 0; // 0 once the port is destroyed
    bool terminate = false;
    PropertyDictionary matching;
    MatchingCallback callback = nullptr;
    void* context = nullptr;
    bool armed = false; // drained to its end since the last callback
};

struct Object {
    DevicePtr device;                   // a device handle, or
    std::shared_ptr<Iterator> iterator; // an iterator handle
};

struct MonitorDeleter {
    void operator()(udev_monitor* monitor) const { udev_monitor_unref(monitor); }
};
struct EnumerateDeleter {
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};
struct DeviceDeleter {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using MonitorPtr = std::unique_ptr<udev_monitor, MonitorDeleter>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, EnumerateDeleter>;
using UdevDevicePtr = std::unique_ptr<udev_device, DeviceDeleter>;

// A notification port: its monitor and the devices it knows to be present,
// by syspath, with their arrival properties.
struct Port {
    MonitorPtr monitor;
    std::map<std::string, DevicePtr> present;
};

} // namespace

struct UdevDeviceSource::State {
    std::mutex mutex;
    udev* context = nullptr;
    ObjectHandle nextHandle = 1;
    NotificationPort nextPort = 1;
    std::map<ObjectHandle, Object> objects;
    std::map<NotificationPort, Port> ports;

    ~State() {
        ports.clear();
        if (context != nullptr) {
            udev_unref(context);
        }
    }

    ObjectHandle newHandle(Object object) {
        ObjectHandle handle = nextHandle++;
        objects.emplace(handle, std::move(object));
        return handle;
    }

    Iterator* iteratorFor(ObjectHandle handle) {
        auto object = objects.find(handle);
        return object == objects.end() ? nullptr : object->second.iterator.get();
    }

    // Every serial client present now, in syspath order; none when udev
    // cannot enumerate.
    std::optional<std::vector<DevicePtr>> presentDevices() {
        EnumeratePtr enumerate(udev_enumerate_new(context));
        if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
            udev_enumerate_scan_devices(enumerate.get()) < 0) {
            return std::nullopt;
        }
        std::vector<DevicePtr> devices;
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
            const std::string syspath = text(udev_list_entry_get_name(entry));
            // A device may go between the scan and this look-up.
            UdevDevicePtr device(udev_device_new_from_syspath(context, syspath.c_str()));
            if (!device) {
                continue;
            }
            if (std::optional<PropertyDictionary> properties =
                    serialClientProperties(device.get())) {
                devices.push_back(
                    std::make_shared<const Device>(Device{syspath, std::move(*properties)}));
            }
        }
        return devices;
    }

    // Hands a device to the port's subscriptions of the given kind that
    // match it.
    void deliver(NotificationPort port, const DevicePtr& device, bool terminate) {
        for (auto& [handle, object] : objects) {
            Iterator* iterator = object.iterator.get();
            if (iterator != nullptr && iterator->subscribed && iterator->port == port &&
                iterator->terminate == terminate &&
                DeviceSource::matches(iterator->matching, device->properties)) {
                iterator->pending.push_back(device);
            }
        }
    }

    // One event of the port's monitor. An arrival of a device the port
    // already knows with the same properties (seen both by the enumeration
    // and by the monitor) and a removal of one it never knew are dropped. An
    // arrival that differs from what the port knows under that syspath means
    // that the removal between the two was lost: both are reported.
    void take(NotificationPort id, Port& port, udev_device* event) {
        const std::string action = text(udev_device_get_action(event));
        const std::string syspath = text(udev_device_get_syspath(event));
        if (syspath.empty()) {
            return;
        }
        auto known = port.present.find(syspath);
        if (action == "add") {
            // None also when the device went before this event was taken.
            std::optional<PropertyDictionary> properties = serialClientProperties(event);
            if (!properties) {
                return;
            }
            if (known != port.present.end()) {
                if (*properties == known->second->properties) {
                    return;
                }
                remove(id, port, known);
            }
            auto device = std::make_shared<const Device>(Device{syspath, std::move(*properties)});
            port.present.emplace(syspath, device);
            deliver(id, device, false);
        } else if (action == "remove" && known != port.present.end()) {
            remove(id, port, known);
        }
    }

    void remove(NotificationPort id, Port& port, std::map<std::string, DevicePtr>::iterator known) {
        DevicePtr device = std::move(known->second);
        port.present.erase(known);
        deliver(id, device, true);
    }

    // Called by the port's run-loop source on the loop's thread.
    void dispatch(NotificationPort id) {
        struct Call {
            ObjectHandle iterator;
            MatchingCallback callback;
            void* context;
        };
        std::vector<Call> calls;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto entry = ports.find(id);
            if (entry == ports.end()) {
                return;
            }
            Port& port = entry->second;
            const int fd = udev_monitor_get_fd(port.monitor.get());
            for (int taken = 0; taken < kEventsPerDispatch; ++taken) {
                pollfd ready{fd, POLLIN, 0};
                if (::poll(&ready, 1, 0) != 1 || (ready.revents & POLLIN) == 0) {
                    break;
                }
                // Gives none for a message that is not for us; it is consumed
                // all the same.
                UdevDevicePtr event(udev_monitor_receive_device(port.monitor.get()));
                if (event) {
                    take(id, port, event.get());
                }
            }
            for (auto& [handle, object] : objects) {
                Iterator* iterator = object.iterator.get();
                if (iterator != nullptr && iterator->port == id && iterator->armed &&
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
                if (iterator == nullptr || iterator->port != id) {
                    continue;
                }
            }
            call.callback(call.context, call.iterator);
        }
    }
};

UdevDeviceSource::UdevDeviceSource() : state_(std::make_shared<State>()) {
    state_->context = udev_new();
}

UdevDeviceSource::~UdevDeviceSource() = default;

bool UdevDeviceSource::isAvailable() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->context != nullptr;
}

NotificationPort UdevDeviceSource::notificationPortCreate(MasterPort /*master*/) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->context == nullptr) {
        return 0;
    }
    // The monitor listens before the enumeration, so that no device can fall
    // between the two; one seen by both is taken once.
    MonitorPtr monitor(udev_monitor_new_from_netlink(state_->context, "udev"));
    if (!monitor ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor.get()) < 0 ||
        udev_monitor_get_fd(monitor.get()) < 0) {
        return 0;
    }
    std::optional<std::vector<DevicePtr>> present = state_->presentDevices();
    if (!present) {
        return 0;
    }
    Port port{std::move(monitor), {}};
    for (DevicePtr& device : *present) {
        std::string syspath = device->syspath;
        port.present.emplace(std::move(syspath), std::move(device));
    }
    NotificationPort id = state_->nextPort++;
    state_->ports.emplace(id, std::move(port));
    return id;
}

DeviceEventSource UdevDeviceSource::notificationPortEventSource(NotificationPort port) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto entry = state_->ports.find(port);
    if (entry == state_->ports.end()) {
        return {};
    }
    std::weak_ptr<State> weak = state_;
    return {udev_monitor_get_fd(entry->second.monitor.get()), [weak, port] {
                if (std::shared_ptr<State> state = weak.lock()) {
                    state->dispatch(port);
                }
            }};
}

void UdevDeviceSource::notificationPortDestroy(NotificationPort port) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->ports.erase(port) == 0) {
        return;
    }
    for (auto& [handle, object] : state_->objects) {
        if (object.iterator && object.iterator->port == port) {
            object.iterator->port = 0;
        }
    }
}

DeviceReturn UdevDeviceSource::addMatchingNotification(NotificationPort port,
                                                       const std::string& type,
                                                       PropertyDictionary matching,
                                                       MatchingCallback callback, void* context,
                                                       ObjectHandle& iterator) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    const bool terminate = type == kTerminateNotification;
    if (!terminate && type != kFirstMatchNotification) {
        return kDeviceReturnError;
    }
    auto entry = state_->ports.find(port);
    if (entry == state_->ports.end() || callback == nullptr) {
        return kDeviceReturnError;
    }
    auto subscription = std::make_shared<Iterator>();
    subscription->subscribed = true;
    subscription->port = port;
    subscription->terminate = terminate;
    subscription->matching = std::move(matching);
    subscription->callback = callback;
    subscription->context = context;
    if (!terminate) {
        for (const auto& [syspath, device] : entry->second.present) {
            if (matches(subscription->matching, device->properties)) {
                subscription->pending.push_back(device);
            }
        }
    }
    iterator = state_->newHandle({nullptr, std::move(subscription)});
    return kDeviceReturnSuccess;
}

ObjectHandle UdevDeviceSource::iteratorNext(ObjectHandle iterator) {
    std::lock_guard<std::mutex> lock(state_->mutex);
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

DeviceReturn UdevDeviceSource::createProperties(ObjectHandle device,
                                                PropertyDictionary& properties) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto object = state_->objects.find(device);
    if (object == state_->objects.end() || !object->second.device) {
        return kDeviceReturnError;
    }
    properties = object->second.device->properties;
    return kDeviceReturnSuccess;
}

DeviceReturn UdevDeviceSource::objectRelease(ObjectHandle object) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->objects.erase(object) == 1 ? kDeviceReturnSuccess : kDeviceReturnError;
}

DeviceReturn UdevDeviceSource::masterPort(MasterPort& master) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->context == nullptr) {
        return kDeviceReturnError;
    }
    master = kDefaultMasterPort;
    return kDeviceReturnSuccess;
}

std::optional<PropertyDictionary>
UdevDeviceSource::serviceMatching(const std::string& deviceClass) {
    return PropertyDictionary{{kProviderClassKey, deviceClass}};
}

DeviceReturn UdevDeviceSource::getMatchingServices(MasterPort /*master*/,
                                                   PropertyDictionary matching,
                                                   ObjectHandle& iterator) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->context == nullptr) {
        return kDeviceReturnError;
    }
    std::optional<std::vector<DevicePtr>> present = state_->presentDevices();
    if (!present) {
        return kDeviceReturnError;
    }
    auto query = std::make_shared<Iterator>();
    for (DevicePtr& device : *present) {
        if (matches(matching, device->properties)) {
            query->pending.push_back(std::move(device));
        }
    }
    iterator = state_->newHandle({nullptr, std::move(query)});
    return kDeviceReturnSuccess;
}
