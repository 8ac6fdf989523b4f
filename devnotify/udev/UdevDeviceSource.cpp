#include "UdevDeviceSource.h"

#include <libudev.h>
#include <poll.h>

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
    // Where the device is plugged in: udev's persistent path of the port, or
    // the device's sysfs path when udev has none.
    std::string physicalPort = text(udev_device_get_property_value(tty, "ID_PATH"));
    if (physicalPort.empty()) {
        physicalPort = text(udev_device_get_syspath(tty));
    }
    properties.emplace("Physical Port", physicalPort);
    return properties;
}

using Event = SubscriptionRegistry::Event;
using DevicePtr = SubscriptionRegistry::DevicePtr;

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

// A serial client by syspath.
using DeviceTable = std::map<std::string, DevicePtr>;

DevicePtr newDevice(PropertyDictionary properties) {
    return std::make_shared<const SubscriptionRegistry::Device>(
        SubscriptionRegistry::Device{0, std::move(properties)});
}

std::vector<DevicePtr> devicesOf(const DeviceTable& table) {
    std::vector<DevicePtr> devices;
    for (const auto& [syspath, device] : table) {
        devices.push_back(device);
    }
    return devices;
}

// A notification port: its monitor and the devices it knows to be present,
// with their arrival properties.
struct Port {
    MonitorPtr monitor;
    DeviceTable present;
};

} // namespace

struct UdevDeviceSource::State {
    std::mutex mutex;
    udev* context = nullptr;
    std::shared_ptr<SubscriptionRegistry> registry;
    std::map<NotificationPort, Port> ports;

    ~State() {
        ports.clear();
        if (context != nullptr) {
            udev_unref(context);
        }
    }

    // Every serial client present now; none when udev cannot enumerate.
    std::optional<DeviceTable> presentDevices() {
        EnumeratePtr enumerate(udev_enumerate_new(context));
        if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "tty") < 0 ||
            udev_enumerate_scan_devices(enumerate.get()) < 0) {
            return std::nullopt;
        }
        DeviceTable devices;
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
                devices.emplace(syspath, newDevice(std::move(*properties)));
            }
        }
        return devices;
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
            DevicePtr device = newDevice(std::move(*properties));
            port.present.emplace(syspath, device);
            registry->post(id, Event::Arrival, device);
        } else if (action == "remove" && known != port.present.end()) {
            remove(id, port, known);
        }
    }

    void remove(NotificationPort id, Port& port, DeviceTable::iterator known) {
        DevicePtr device = std::move(known->second);
        port.present.erase(known);
        registry->post(id, Event::Removal, device);
    }

    // Takes what the port's monitor holds, on the loop's thread before the
    // port's events are delivered.
    void collect(NotificationPort id) {
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
    }
};

UdevDeviceSource::UdevDeviceSource() : state_(std::make_shared<State>()) {
    state_->context = udev_new();
    state_->registry = sharedRegistry();
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
    std::optional<DeviceTable> present = state_->presentDevices();
    if (!present) {
        return 0;
    }
    std::weak_ptr<State> weak = state_;
    NotificationPort id =
        registry().createPort(udev_monitor_get_fd(monitor.get()), [weak](NotificationPort port) {
            if (std::shared_ptr<State> state = weak.lock()) {
                state->collect(port);
            }
        });
    if (id != 0) {
        state_->ports.emplace(id, Port{std::move(monitor), std::move(*present)});
    }
    return id;
}

void UdevDeviceSource::portDestroyed(NotificationPort port) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->ports.erase(port);
}

DeviceReturn UdevDeviceSource::addMatchingNotification(NotificationPort port,
                                                       const std::string& type,
                                                       PropertyDictionary matching,
                                                       MatchingCallback callback, void* context,
                                                       ObjectHandle& iterator) {
    // Under the lock, so that no event of the port is taken between the
    // devices present and the subscription.
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::optional<Event> event = SubscriptionRegistry::eventOf(type);
    auto entry = state_->ports.find(port);
    if (!event || entry == state_->ports.end()) {
        return kDeviceReturnError;
    }
    return registry().subscribe(port, *event, std::move(matching), callback, context,
                                *event == Event::Arrival ? devicesOf(entry->second.present)
                                                         : std::vector<DevicePtr>{},
                                iterator);
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
    std::optional<DeviceTable> present = state_->presentDevices();
    if (!present) {
        return kDeviceReturnError;
    }
    iterator = registry().query(devicesOf(*present), matching);
    return kDeviceReturnSuccess;
}
